"""From a structure to its peak table: the radiation and its wavelength,
the scattering factors, the work a pattern takes, the native calculation,
intensity scales, and the table as text, CSV or JSON."""
