"""Reports a laboratory files: one self-contained HTML page per result, with
an interactive plot (and a static picture for print), the tables as the text
output prints them, the warnings in full, and where the result came from::

    from peakforge_pattern.reports import write_fit_report
    write_fit_report(result, "fit.html", provenance)

Needs plotly and matplotlib (``pip install 'peakforge[report]'``), imported
when a report is written. `Report` is the page builder each command adds
its sections to.
"""

from typing import TYPE_CHECKING

from ..optional import lazy_exports

if TYPE_CHECKING:
    from .document import Report, check_report_path
    from .writers import write_fit_report, write_identification_report, write_index_report, write_series_report

__all__ = [
    "Report",
    "check_report_path",
    "write_fit_report",
    "write_identification_report",
    "write_index_report",
    "write_series_report",
]

__getattr__ = lazy_exports(
    __name__,
    {
        "Report": ".document",
        "check_report_path": ".document",
        "write_fit_report": ".writers",
        "write_identification_report": ".writers",
        "write_series_report": ".writers",
        "write_index_report": ".writers",
    },
)
