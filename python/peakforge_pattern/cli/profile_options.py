"""Command-line options that describe the instrument and the sample of a
profile, and the profile file they produce; shared by the subcommands."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable, Sequence

import numpy as np

from ..diffraction.axes import COLUMN_NAMES, UNITS, from_two_theta
from ..diffraction.request import PatternRequest
from ..diffraction.wavelengths import k_alpha_doublet, mean_wavelength, wavelength_pair
from ..errors import InputError
from ..profiles.instrument import DEFAULT_KA2_RATIO, SHAPES, Instrument
from ..profiles.profile import uniform_grid
from ..profiles.profile_file import write_profile
from ..profiles.sample import Sample
from .calculation_options import request_from

MAX_DISPLACEMENT_SHARE = 0.1
"""Largest --displacement as a share of the radius (peaks move by up to 11.5 degrees)."""

MAX_PROFILE_POINTS = 2_000_000
"""Most points of a profile file (0.0001° steps over 0–180°)."""


def add_instrument_arguments(parser: argparse.ArgumentParser, default_shape: str) -> None:
    """Options for the lines and the peak shape (pattern and fit); the
    monochromator is the calculation request's."""
    group = parser.add_argument_group("instrument")
    group.add_argument(
        "--shape",
        choices=SHAPES,
        default=default_shape,
        help=f"peak shape (default {default_shape}): pseudo-Voigt with a fixed eta, or "
        "Thompson-Cox-Hastings from the Gaussian and Lorentzian widths",
    )
    group.add_argument(
        "--ka2-ratio",
        type=float,
        default=None,
        metavar="R",
        help=f"Ka2/Ka1 intensity of a Ka line or of a -w Ka1,Ka2 pair such as 1.5406,1.5444 "
        f"(default {DEFAULT_KA2_RATIO:g})",
    )
    group.add_argument(
        "--radius",
        type=float,
        default=240.0,
        metavar="MM",
        help="goniometer radius for the sample displacement (default 240)",
    )


def add_profile_arguments(parser: argparse.ArgumentParser) -> None:
    """Options of a calculated profile: the file, widths, corrections and the sample."""
    group = add_peak_shape_arguments(parser)
    group.add_argument(
        "--xy", metavar="FILE", help="write the profile: .xy (2theta, intensity) or .xye (with uncertainties)"
    )
    group.add_argument(
        "--step", type=float, default=0.01, metavar="DEG", help="2theta step of the profile file (default 0.01)"
    )


def add_peak_shape_arguments(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """Options that shape a calculated profile's peaks: lines, widths, corrections and the sample.

    Returns the "profile" argument group, for options of the profile's output."""
    add_instrument_arguments(parser, "pseudo-voigt")
    group = parser.add_argument_group("profile")
    group.add_argument(
        "--caglioti",
        type=float,
        nargs=3,
        metavar=("U", "V", "W"),
        help="widths FWHM^2 = U tan^2 + V tan + W (deg^2) instead of one --fwhm",
    )
    group.add_argument(
        "--lorentzian",
        type=float,
        nargs=2,
        default=(0.0, 0.0),
        metavar=("X", "Y"),
        help="Lorentzian width X tan + Y / cos (deg)",
    )
    group.add_argument("--eta", type=float, default=0.5, help="pseudo-Voigt mixing (default 0.5)")
    group.add_argument(
        "--asymmetry",
        type=float,
        default=0.0,
        metavar="A",
        help="axial-divergence asymmetry: the side towards 90 degrees stretched by 1 + A / tan 2theta",
    )
    group.add_argument("--zero-shift", type=float, default=0.0, metavar="DEG", help="added to every 2theta")
    group.add_argument(
        "--displacement",
        type=float,
        default=0.0,
        metavar="MM",
        help="sample displacement (moves peaks by -2 s cos(theta) / radius)",
    )
    group.add_argument("--size", type=float, metavar="NM", help="crystallite size (Scherrer broadening)")
    group.add_argument("--strain", type=float, default=0.0, metavar="EPS", help="microstrain (delta d / d)")
    group.add_argument(
        "--preferred-orientation",
        type=float,
        nargs=4,
        metavar=("H", "K", "L", "R"),
        help="March-Dollase orientation of the (HKL) planes, R < 1 plates, R > 1 needles",
    )
    group.add_argument("--overall-b", type=float, default=0.0, metavar="B", help="added to every B (A^2)")
    return group


def ka2_ratio(args: argparse.Namespace) -> float:
    return DEFAULT_KA2_RATIO if args.ka2_ratio is None else args.ka2_ratio


def pattern_request(args: argparse.Namespace) -> PatternRequest:
    """The calculation request of the options; a Kα1,Kα2 pair of -w is computed at its
    intensity-weighted mean, as a Kα name is (the profile then draws both lines)."""
    pair = wavelength_pair(getattr(args, "wavelength", None))
    if pair is None:
        return request_from(args)
    if getattr(args, "radiation", None) not in (None, "xray"):
        raise InputError("a wavelength pair is an X-ray tube's Ka1 and Ka2: not with --radiation " + args.radiation)
    return request_from(argparse.Namespace(**{**vars(args), "wavelength": mean_wavelength(*pair, ka2_ratio(args))}))


def instrument_from(args: argparse.Namespace, request: PatternRequest) -> Instrument:
    """The instrument the options describe (a single width from --fwhm unless --caglioti),
    with the request's monochromator, and the lines of a -w pair.

    Raises
    ------
    InputError
        A bad value, or --ka2-ratio with a wavelength of one line (it would be ignored).
    """
    if not math.isfinite(args.fwhm):
        raise InputError(f"--fwhm must be a finite number of degrees, not {args.fwhm:g}")
    pair = wavelength_pair(getattr(args, "wavelength", None))
    if pair is None and args.ka2_ratio is not None and k_alpha_doublet(request.wavelength) is None:
        raise InputError(
            f"--ka2-ratio weighs the Ka2 of a Ka doublet, and {request.wavelength:g} A is one line: "
            "give the pair (-w 1.5406,1.5444) or a Ka line's name (-w CuKa)"
        )
    if not abs(args.displacement) <= MAX_DISPLACEMENT_SHARE * args.radius:
        raise InputError(
            f"--displacement {args.displacement:g} mm is beyond a tenth of the {args.radius:g} mm radius: "
            "the peaks would move out of any range"
        )
    fields = dict(
        wavelength=pair,
        ka2_ratio=ka2_ratio(args),
        shape=args.shape,
        X=args.lorentzian[0],
        Y=args.lorentzian[1],
        eta=args.eta,
        asymmetry=args.asymmetry,
        zero_shift=args.zero_shift,
        displacement=args.displacement,
        radius=args.radius,
        monochromator_angle=request.monochromator_angle,
    )
    if args.caglioti is None:
        return Instrument.with_fwhm(args.fwhm, **fields)
    u, v, w = args.caglioti
    return Instrument(U=u, V=v, W=w, **fields)


def check_widths(args: argparse.Namespace, instrument: Instrument, two_theta_range: tuple[float, float]) -> None:
    """Refuse --caglioti or --lorentzian terms whose widths go negative within the range
    (the profile would clip them to zero widths there in silence)."""
    lo, hi = two_theta_range
    theta = np.radians(np.linspace(lo, min(hi, 179.9), 1801)) / 2.0
    tan, cos = np.tan(theta), np.cos(theta)
    gaussian = instrument.U * tan * tan + instrument.V * tan + instrument.W
    lorentzian = instrument.X * tan + instrument.Y / cos
    for given, values, what in (
        (args.caglioti, gaussian, "--caglioti U V W gives a negative FWHM^2 = U tan^2 + V tan + W"),
        (args.lorentzian, lorentzian, "--lorentzian X Y gives a negative width X tan + Y / cos"),
    ):
        negative = np.flatnonzero(values < 0.0)
        if given is not None and negative.size:
            angle = float(np.degrees(2.0 * theta[negative[0]]))
            raise InputError(f"{what} at 2theta = {angle:.3g} degrees: widths must not be negative in the range")


def sample_from(args: argparse.Namespace) -> Sample | None:
    orientation, march_r = None, 1.0
    if args.preferred_orientation is not None:
        h, k, l, march_r = args.preferred_orientation
        if any(index != int(index) for index in (h, k, l)):
            raise InputError(f"--preferred-orientation takes whole Miller indices, not {[h, k, l]}")
        orientation = (int(h), int(k), int(l))
    sample = Sample(args.size, args.strain, orientation, march_r, args.overall_b)
    return None if sample == Sample() else sample


def describe_instrument(instrument: Instrument, lines: Sequence[tuple[float, float]]) -> list[str]:
    """Header lines naming the emission lines, widths, shape and corrections."""
    line_text = ", ".join(f"{w:.6f} A ({100 * s:.1f} %)" for w, s in lines)
    return [
        f"emission lines: {line_text}",
        f"shape {instrument.shape}; U V W {instrument.U:g} {instrument.V:g} {instrument.W:g} deg^2; "
        f"X Y {instrument.X:g} {instrument.Y:g} deg; eta {instrument.eta:g}; "
        f"asymmetry {instrument.asymmetry:g}",
        f"zero shift {instrument.zero_shift:g} deg; displacement {instrument.displacement:g} mm "
        f"at radius {instrument.radius:g} mm; monochromator 2theta {instrument.monochromator_angle or 0.0:g} deg",
    ]


def write_profile_file(
    args: argparse.Namespace,
    title: str,
    scale_description: str,
    wavelength: float,
    profile: Callable[[np.ndarray], np.ndarray],
    instrument: Instrument,
    two_theta_range: tuple[float, float],
) -> None:
    """Evaluate ``profile`` on the --step grid and write it to --xy."""
    grid = uniform_grid(two_theta_range, args.step, MAX_PROFILE_POINTS)
    axis = getattr(args, "axis", "2theta")
    position = f"{COLUMN_NAMES[axis]} ({UNITS[axis]})"
    if axis != "2theta":
        position += f" of the 2theta grid at {wavelength:g} A"
    header = [
        f"peakforge profile of {title}",
        f"{scale_description}; profile in intensity per degree 2theta, each peak's area its intensity",
        *describe_instrument(instrument, instrument.lines(wavelength)),
        f"columns: {position}, intensity" + (", uncertainty" if args.xy.lower().endswith(".xye") else ""),
    ]
    x, y = from_two_theta(axis, grid, wavelength), profile(grid)
    # d is unbounded at 2theta = 0; rows go in increasing d, as other axes do.
    keep = np.isfinite(x)
    order = slice(None, None, -1) if axis == "d" else slice(None)
    write_profile(args.xy, x[keep][order], y[keep][order], header)
