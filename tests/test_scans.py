"""Measured scans in every format read_scan knows, each from a real file
(tests/data/scans/SOURCES.md), the recognition of a format by its contents,
and the bounds that refuse what cannot be a scan before it is read."""

import struct
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest

from peakforge_pattern import InputError, example_path
from peakforge_pattern.cli import main
from peakforge_pattern.fitting.measured import read_measured
from peakforge_pattern.measurements import MAX_BYTES, MAX_POINTS, read_scan

SCANS = Path(__file__).resolve().parent / "data" / "scans"


def test_real_files_of_every_format_read_with_their_axes_and_uncertainties(tmp_path):
    gsas = read_scan(SCANS / "al2o3001.gsa")  # BANK 1 3300 660 CONST 300.00 5.00 0 0 ESD
    assert len(gsas) == 3300 and gsas.two_theta[0] == 3.0 and gsas.two_theta[-1] == pytest.approx(167.95)
    assert gsas.intensity[:3].tolist() == [119, 149, 141] and gsas.uncertainty[:3].tolist() == [17, 19, 19]
    assert gsas.uncertainty_from_file

    ras = read_scan(SCANS / "TiO2-2-3h-2.ras")
    assert len(ras) == 4251 and (ras.two_theta[0], ras.two_theta[-1]) == (5.0, 90.0)
    assert ras.intensity[:2].tolist() == [545, 539] and ras.wavelength == (1.540593, 1.544414, 0.5)
    assert ras.two_theta[np.argmax(ras.intensity)] == pytest.approx(27.4, abs=0.1)  # rutile (110)

    rasx = read_scan(SCANS / "TwoTheta_scan_powder.rasx")
    assert len(rasx) == 2726 and (rasx.two_theta[0], rasx.two_theta[-1]) == (10.0, 119.0)
    assert rasx.intensity[0] == pytest.approx(170.55354309082)
    assert rasx.wavelength == (1.540593, 1.544414, 0.0)  # a Ge(220) monochromator: Kα1 alone

    raw = read_scan(SCANS / "test_sample.raw")
    assert len(raw) == 7134 and raw.two_theta[0] == 10.0 and raw.two_theta[-1] == pytest.approx(85.0413, abs=1e-4)
    assert raw.two_theta[np.argmax(raw.intensity)] == pytest.approx(31.556, abs=0.01)
    assert not raw.uncertainty_from_file and raw.wavelength == (1.5405999422073364,) * 2 + (0.0,)  # Kα2 stripped

    raw3 = read_scan(SCANS / "Cu3Au-1.raw")  # RAW1.01
    assert len(raw3) == 3901 and (raw3.two_theta[0], raw3.two_theta[-1]) == (22.0, pytest.approx(100.0))
    assert raw3.two_theta[np.argmax(raw3.intensity)] == pytest.approx(41.5, abs=0.05)  # Cu3Au (111)
    assert raw3.intensity[:3].tolist() == [48, 24, 38] and raw3.wavelength == (1.5406, 1.54439, 0.5)
    # Bruker's own text conversion of a RAW1.01 file (with a supplementary range header) agrees.
    bt86 = read_scan(SCANS / "BT86.raw")
    converted = np.array(
        [
            line.split()
            for line in (SCANS / "BT86.UXD").read_text(encoding="latin-1").splitlines()
            if line[:1].isdigit()
        ],
        dtype=float,
    )
    assert np.array_equal(bt86.intensity, converted[:, 1])
    assert np.allclose(bt86.two_theta, converted[:, 0], rtol=0, atol=0.005)  # the text keeps four digits
    ranges = read_scan(SCANS / "format1.raw")
    assert len(ranges) == 101 and ranges.two_theta[-1] == pytest.approx(20.0)
    assert "read the first of 3 ranges" in ranges.notes[0]

    brml = read_scan(SCANS / "23-012-AG_2thomegascan_long.brml")
    assert len(brml) == 2001 and (brml.two_theta[0], brml.two_theta[-1]) == (44.0, 48.0)
    assert brml.intensity[:3].tolist() == [3, 1, 1]

    # The format follows the contents: GSAS text and Bruker binary both go by .raw.
    as_raw = tmp_path / "alumina.raw"
    as_raw.write_bytes((SCANS / "al2o3001.gsa").read_bytes())
    assert np.array_equal(read_scan(as_raw).intensity, gsas.intensity)
    as_gsas = tmp_path / "bruker.gsas"
    as_gsas.write_bytes((SCANS / "test_sample.raw").read_bytes())
    assert np.array_equal(read_scan(as_gsas).intensity, raw.intensity)
    assert read_measured is read_scan
    downwards = tmp_path / "downwards.xye"
    downwards.write_text("10.5 9 3\n10.0 4 2\n")
    turned = read_scan(downwards)
    assert turned.two_theta.tolist() == [10.0, 10.5] and turned.uncertainty.tolist() == [2, 3]
    assert "decreases through the file" in turned.notes[0]
    utf16 = tmp_path / "exported.xy"
    utf16.write_bytes("2theta counts\n10.0 4\n10.5 9\n".encode("utf-16"))
    assert read_scan(utf16).intensity.tolist() == [4, 9]


def _gsas(tmp_path, bank, records, name="scan.gsas"):
    path = tmp_path / name
    path.write_text("title line of a GSAS file\n" + bank + "\n" + "\n".join(records) + "\n")
    return path


def test_gsas_layouts_counters_and_banks(tmp_path):
    # STD: an optional two-digit counter number before each six-digit count.
    std_record = " 4   400     100      25 4   900"
    std = read_scan(_gsas(tmp_path, "BANK 1 4 1 CONST 1000.0 2.0 0 0 STD", [std_record]))
    assert std.two_theta.tolist() == [10.0, 10.02, 10.04, 10.06]
    assert std.intensity.tolist() == [400, 100, 25, 900] and std.uncertainty.tolist() == [10, 10, 5, 15]
    # No layout named means STD.
    plain = read_scan(_gsas(tmp_path, "BANK 1 2 1 CONST 1000.0 2.0 0 0", ["    16    36"]))
    assert plain.uncertainty.tolist() == [4, 6]
    fxye = read_scan(
        _gsas(tmp_path, "BANK 1 3 3 CONS 1000 1 0 0 FXYE", ["1000.0 50.0 7.0", "1001.0 60.0 8.0", "1002.5 70.0 9.0"])
    )
    assert fxye.two_theta.tolist() == [10.0, 10.01, 10.025] and fxye.uncertainty.tolist() == [7, 8, 9]
    # ALT: Fortran F8.0, F7.4, F5.4 triplets; a field without a point has implied decimals.
    alt_record = ("  1000.012.5000 3.50") + ("  1001.0 12500035000")
    alt = read_scan(_gsas(tmp_path, "BANK 1 2 1 CONST 1000 1 0 0 ALT", [alt_record]))
    assert alt.two_theta.tolist() == [10.0, 10.01] and alt.intensity.tolist() == [12.5, 12.5]
    assert alt.uncertainty.tolist() == [3.5, 3.5]
    two_banks = read_scan(
        _gsas(
            tmp_path,
            "BANK 1 2 1 CONST 1000.0 2.0 0 0 ESD",
            ["      9.      3.     16.      4.", "BANK 2 2 1 CONST 0 1 0 0 ESD", "1 1 1 1"],
        )
    )
    assert two_banks.intensity.tolist() == [9, 16] and "first of 2 banks" in two_banks.notes[0]
    with pytest.raises(InputError, match="promises 5 points but the records hold 4"):
        read_scan(_gsas(tmp_path, "BANK 1 5 1 CONST 1000.0 2.0 0 0 STD", ["       1       2       3       4"]))
    with pytest.raises(InputError, match="binning 'TIME_MAP' is not read"):
        read_scan(_gsas(tmp_path, "BANK 1 2 1 TIME_MAP 1 2 0 0 STD", ["     1     2"]))


def test_profiles_from_zero_degrees_read_back_and_fit(tmp_path, capsys):
    profile = tmp_path / "silicon.xy"
    assert main(["pattern", str(example_path("silicon")), "--xy", str(profile), "--two-theta", "0", "60"]) == 0
    first_row = next(line for line in profile.read_text().splitlines() if not line.startswith("#"))
    assert float(first_row.split()[0]) == 0.0
    scan = read_scan(profile)
    assert scan.two_theta[0] > 0.0 and "dropped 1 point(s) at 2theta <= 0" in scan.notes[0]
    capsys.readouterr()
    assert main(["fit", str(profile), str(example_path("silicon"))]) == 0
    assert "note:" in capsys.readouterr().err


def test_files_in_no_format_read_say_which_formats_are(tmp_path):
    cases = {"junk.bin": bytes(range(256)) * 4, "words.txt": b"nothing here\nto read\n"}
    archive = tmp_path / "other.zip"
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("readme.txt", "not a scan")
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
    for path in [tmp_path / name for name in cases] + [archive]:
        with pytest.raises(InputError, match=r"it reads columns of 2theta.*Bruker .brml; Rigaku .ras; Rigaku .rasx"):
            read_scan(path)
    old = tmp_path / "old.raw"
    old.write_bytes(b"RAW2" + bytes(200))
    with pytest.raises(InputError, match="'RAW2' files .* are not read, only RAW1.01 and RAW4.00"):
        read_scan(old)
    with pytest.raises(InputError, match="is a directory"):
        read_scan(tmp_path)


def test_what_cannot_be_a_scan_is_refused_before_it_is_read(tmp_path, monkeypatch):
    started = time.monotonic()
    with pytest.raises(InputError, match="binary file of no scan format"):
        read_scan("/dev/zero")
    huge = tmp_path / "huge.xy"
    with huge.open("wb") as f:  # sparse: its size is stated, its blocks never written
        f.truncate(MAX_BYTES + 1)
    with pytest.raises(InputError, match=r"is more than a scan file holds \(at most 256 MB\)"):
        read_scan(huge)
    assert time.monotonic() - started < 2.0

    many = tmp_path / "many.xy"
    many.write_bytes(b"1 2\n" * (MAX_POINTS + 100_001))
    started = time.monotonic()
    with pytest.raises(InputError, match=f"2100001 lines is more than a scan holds \\(at most {MAX_POINTS} points\\)"):
        read_scan(many)
    assert time.monotonic() - started < 2.0
    with pytest.raises(InputError, match=f"1000000000 points is more than a scan holds \\(at most {MAX_POINTS}\\)"):
        read_scan(_gsas(tmp_path, "BANK 1 1000000000 100000000 CONST 1000.0 2.0 0 0 STD", ["     1"]))
    raw = bytearray((SCANS / "test_sample.raw").read_bytes())
    struct.pack_into("<I", raw, 61 + struct.unpack_from("<I", raw, 56)[0] + 4, 4_000_000_000)
    (tmp_path / "steps.raw").write_bytes(bytes(raw))
    with pytest.raises(InputError, match="4000000000 points is more than a scan holds"):
        read_scan(tmp_path / "steps.raw")
    struct.pack_into("<I", raw, 61 + struct.unpack_from("<I", raw, 56)[0] + 4, 8000)
    (tmp_path / "short.raw").write_bytes(bytes(raw))
    with pytest.raises(InputError, match="range header does not fit the file"):
        read_scan(tmp_path / "short.raw")

    # XML whose entities expand a thousand-million-fold is refused by the parser's amplification limit.
    entities = ['<!ENTITY e0 "lollollollollollollollollollol">'] + [
        f'<!ENTITY e{i} "{f"&e{i - 1};" * 10}">' for i in range(1, 10)
    ]
    laughs = tmp_path / "laughs.xrdml"
    laughs.write_text(
        '<?xml version="1.0"?>\n<!DOCTYPE x [' + "\n".join(entities) + "]>\n<xrdMeasurements>&e9;</xrdMeasurements>"
    )
    with pytest.raises(InputError, match="not a readable XML file .*amplification"):
        read_scan(laughs)

    # An archive member that unpacks past the bound is refused, whatever its header says.
    from peakforge_pattern.measurements import zipped

    monkeypatch.setattr(zipped, "MAX_BYTES", 1000)
    bomb = tmp_path / "bomb.rasx"
    with zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Data0/Profile0.txt", "10 1 1\n" * 1000)
    with pytest.raises(InputError, match="Profile0.txt unpacks to more than 1000 bytes"):
        read_scan(bomb)


def _brml(path, rows, head=""):
    """A .brml whose raw-data XML holds ``rows`` Datum rows of one route (and ``head`` before it)."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("Experiment0/RawData0.xml", "w") as member:
            member.write(
                f'<?xml version="1.0"?><RawData>{head}<DataRoutes><DataRoute><ScanInformation><ScanAxes>'
                '<ScanAxisInfo AxisId="TwoTheta"/><ScanAxisInfo AxisId="Theta"/></ScanAxes></ScanInformation>'.encode()
            )
            for start in range(0, rows, 10_000):
                member.write(
                    "".join(
                        f"<Datum>1,1,{10 + i * 1e-4:.4f},5,{i % 97}</Datum>"
                        for i in range(start, min(rows, start + 10_000))
                    ).encode()
                )
            member.write(b"</DataRoute></DataRoutes></RawData>")
    return path


def test_xml_scans_are_read_in_memory_that_follows_their_points(tmp_path, monkeypatch):
    import tracemalloc

    from peakforge_pattern.measurements import bruker_brml, xml_stream

    # 50 000 rows (2 MB of XML) read into their two columns: the document's elements are let go as read
    # (built whole, they take about 10 MB).
    path = _brml(tmp_path / "long.brml", 50_000)
    tracemalloc.start()
    try:
        scan = read_scan(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(scan) == 50_000 and scan.intensity[96] == 96 and peak < 4e6, peak
    # More points than a scan holds: refused while reading, in both formats.
    monkeypatch.setattr(bruker_brml, "MAX_POINTS", 1000)
    monkeypatch.setattr(xml_stream, "MAX_POINTS", 1000)
    with pytest.raises(InputError, match="more than 1000 points"):
        read_scan(path)
    counts = tmp_path / "many.xrdml"
    counts.write_text(
        '<?xml version="1.0"?><xrdMeasurements><scan><dataPoints><positions axis="2Theta"><startPosition>10'
        "</startPosition><endPosition>90</endPosition></positions><counts>" + "7 " * 5000 + "</counts></dataPoints>"
        "</scan></xrdMeasurements>"
    )
    with pytest.raises(InputError, match="<counts> holds more than 1000 values"):
        read_scan(counts)
