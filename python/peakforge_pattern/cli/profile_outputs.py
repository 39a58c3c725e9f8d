"""What ``peakforge pattern`` writes besides its table: the profile file,
the plot, and the one pattern of a mixture."""

from __future__ import annotations

import argparse

from ..errors import InputError
from ..plotting import check_image_path, draw
from ..profiles.mixture import compute_mixture
from ..profiles.profile import pattern_profile
from ..profiles.profile_file import check_profile_path
from .common import USER_ERROR, fail, note, write_output
from .profile_options import write_profile_file


def output_error(exc: Exception) -> str:
    """An output failure in a few words, without the temporary file's name."""
    text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
    return " ".join(text.split())


def check_profile_outputs(args, count: int) -> None:
    """Refuse what cannot be written before anything is computed."""
    if args.plot is not None:
        check_image_path(args.plot)
    if args.xy is not None:
        check_profile_path(args.xy)
        if count > 1 and args.mix is None:
            raise InputError("--xy writes one profile: give one structure, or weight fractions with --mix")
    if args.mix is not None and len(args.mix) != count:
        raise InputError(
            f"--mix needs one weight fraction per structure: {count} structures, {len(args.mix)} fractions"
        )


def write_profile_outputs(args, patterns, instrument, sample, two_theta_range, mixture=None) -> bool:
    """Write --xy and --plot; False (after one line on standard error) when one fails."""
    target = mixture if mixture is not None else patterns[0]
    outputs = []
    if args.xy is not None:
        title = (
            ", ".join(f"{p.structure_name} {100 * w:g} wt %" for p, w in zip(patterns, mixture.weight_fractions))
            if mixture
            else patterns[0].structure_name
        )
        outputs.append(
            (
                args.xy,
                "the profile",
                lambda: write_profile_file(
                    args,
                    title,
                    target.scale_description,
                    patterns[0].wavelength,
                    lambda x: (
                        mixture.profile(x, instrument, sample)
                        if mixture is not None
                        else pattern_profile(patterns[0], x, instrument, sample)
                    ),
                    instrument,
                    two_theta_range,
                ),
            )
        )
    if args.plot is not None:
        plot_instrument = instrument if args.fwhm > 0.0 or args.caglioti is not None else None
        outputs.append(
            (
                args.plot,
                "the plot",
                lambda: draw(
                    patterns,
                    args.plot,
                    instrument=plot_instrument,
                    sample=sample,
                    fwhm=args.fwhm,
                    mixture=mixture is not None,
                    labels=args.labels,
                    axis=args.axis,
                    title=args.title,
                    dpi=args.dpi,
                ),
            )
        )
    written = True
    for path, what, write in outputs:
        try:
            write()
        except InputError as exc:
            fail(f"{path}: {exc}")
            written = False
        except (OSError, ValueError) as exc:
            fail(f"{path}: cannot write {what}: {output_error(exc)}")
            written = False
    return written


def label_count(text: str) -> int | str:
    """--labels: a number of peaks, or 'all'."""
    if text == "all":
        return text
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a number of peaks or 'all', not {text!r}")
    return count


def write_overlay(args, scan, patterns, instrument, sample) -> bool:
    """Scale each pattern's profile to the --measured scan, say the scales in a
    note, and draw them over it to --plot; False (after one line) when the plot fails."""
    # Only with a scan to overlay: these bring the scan readers.
    from ..fitting.overlay import overlay_phases
    from ..plotting import plot_overlay

    overlay = overlay_phases(scan, patterns, instrument=instrument, sample=sample)
    scales = ", ".join(f"{p.structure_name or 'structure'} {s:.6g}" for p, s in zip(overlay.patterns, overlay.scales))
    note(str(args.measured), f"least-squares scales of the simulated profiles: {scales}")
    if args.plot is None:
        return True
    try:
        plot_overlay(
            overlay, args.plot, layout=args.layout, labels=args.labels, axis=args.axis, title=args.title, dpi=args.dpi
        )
    except InputError as exc:
        fail(f"{args.plot}: {exc}")
        return False
    except (OSError, ValueError) as exc:
        fail(f"{args.plot}: cannot write the plot: {output_error(exc)}")
        return False
    return True


def run_mixture(args, sources, problems, writer, request, instrument, sample) -> int:
    """One pattern of all the structures mixed by --mix weight fractions."""
    for problem in problems:
        fail(problem)
    if problems:
        return USER_ERROR
    try:
        mixture = compute_mixture(sources, args.mix, request=request)
    except InputError as exc:
        fail(f"error: {exc}")
        return USER_ERROR
    write_output(writer(mixture.patterns, True))
    written = write_profile_outputs(args, mixture.patterns, instrument, sample, request.two_theta_range, mixture)
    return 0 if written else USER_ERROR
