"""The doc-test step's reading of pages and its comparison of shown output
(the step itself, scripts/doctest, runs the documentation's blocks)."""

import pytest
from doc_blocks import Block, PageError, check_install_lines, extract_blocks, first_difference, output_matches

PAGE = """\
Intro.

```sh
peakforge pattern
```

```text
 2theta  d
28.4654  3.13559
```

<!-- doctest: skip: needs a cluster -->
```python
run()
```

Prose.

```python
print(1)
```

Prose between.

```text
not its output
```

<!-- doctest: atol=1e-6 status=2 -->
  ```sh
  peakforge fit a b
  ```
"""


def test_blocks_expected_output_and_options():
    blocks = extract_blocks(PAGE, "page.md")
    assert [(b.line, b.language) for b in blocks] == [(3, "sh"), (13, "python"), (19, "python"), (30, "sh")]
    assert blocks[0].expected.splitlines() == [" 2theta  d", "28.4654  3.13559"]
    assert blocks[0].expected_line == 7
    assert blocks[1].skip == "needs a cluster" and blocks[1].expected is None
    assert blocks[2].expected is None  # a paragraph stands between
    assert (blocks[3].atol, blocks[3].status, blocks[3].code) == (1e-6, 2, "peakforge fit a b")


@pytest.mark.parametrize(
    ("page", "message"),
    [
        ("```\nls\n```\n", "without a language"),
        ("```shell\nls\n```\n", "neither run"),
        ("```sh\nls\n", "never closed"),
        ("<!-- doctest: skip -->\n```sh\nls\n```\n", "needs a reason"),
        ("<!-- doctest: tolerance=1 -->\n```sh\nls\n```\n", "unknown doctest option"),
        ("<!-- doctest: atol=1e-3 -->\n```text\nls\n```\n", "must stand before"),
    ],
)
def test_pages_that_would_leave_a_command_unchecked_are_refused(page, message):
    with pytest.raises(PageError, match=message):
        extract_blocks(page, "page.md")


@pytest.mark.parametrize(
    ("shown", "printed", "matches"),
    [
        ("Rwp 13.98 %  chi2 2.439", "Rwp  13.98 %   chi2 2.439\n", True),  # spacing
        ("Rwp 13.98 %", "Rwp 13.99 %", True),  # one unit of the last digit
        ("Rwp 13.98 %", "Rwp 14.01 %", False),
        ("56.19(15) wt %", "56.20(16) wt %", True),  # value and uncertainty digits
        ("56.19(15) wt %", "56.41(15) wt %", False),
        ("(1 1 1)  8", "(1 1 1)  9", True),  # integers: one unit too
        ("(1 1 1)  8", "(1 1 1)  10", False),
        ("s000714.cif", "s000715.cif", False),  # digits inside a word are text
        ("qarr_cpd-1e.prn: 43 peaks", "qarr_cpd-1e.prn: 43 peaks", True),
        ("a\n...\nz", "a\nb\nc\nz", True),  # '...' line: any lines
        ("a\n...\nz", "a\nz", True),
        ("a\n...\nz", "a\nb", False),
        ("scored in ... s, search ... s", "scored in 0.48 s, search 3.6 s", True),
        ("in ... s (.../s); ...", "in 2.6 s (2.3/s); /tmp/x: 15.8 KiB", True),
        ("two\nlines", "two", False),  # nothing may be missing
        ("one", "one\nextra", False),  # nor added
        ("", "", True),
    ],
)
def test_shown_output_against_printed(shown, printed, matches):
    assert output_matches(shown, printed) is matches


def test_tolerances_widen_per_block():
    assert not output_matches("U 5.35278e-08", "U 6.97564e-10")
    assert output_matches("U 5.35278e-08", "U 6.97564e-10", atol=1e-6)
    assert output_matches("a 4.75787", "a 4.75800", rtol=1e-4)


@pytest.mark.parametrize(
    ("line", "problem"),
    [
        ("pip install .", None),
        ("pip install '.[plot,fit,batch]'  # and more", None),
        ("pip install 'peakforge[fit]'", "no package of this name"),
        ("pip install peakforge", "no package of this name"),
        ("pip install '.[fits]'", "no extra fits"),
    ],
)
def test_install_lines(line, problem):
    problems = check_install_lines(Block("p.md", 1, "sh", line), {"plot", "fit", "batch"})
    assert (problem is None) == (not problems)
    if problem:
        assert problem in problems[0]


# --- the API reference ------------------------------------------------------


def test_api_reference_documents_every_public_name():
    from doc_api import PAGE, page

    assert PAGE.read_text(encoding="utf-8") == page(), "docs/api.md is not what tests/doc_api.py writes: run it"


@pytest.mark.parametrize(
    ("shown", "printed", "difference"),
    [
        ("a 1\nb 2\nc 3", "a 1\nb 9\nc 3", ("b 2", "b 9")),
        ("a\n...\nz", "a\nb\ny", ("z", "b")),  # no line after the elided ones is z
        ("a\nb", "a\nb\nc", ("(the end of the shown output)", "c")),
        ("a 1", "a 1", None),
    ],
)
def test_a_failure_names_the_first_line_that_differs(shown, printed, difference):
    assert first_difference(shown, printed) == difference
