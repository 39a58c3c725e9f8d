"""The report's stylesheet: a plain page on screen, and a printed document
(the browser's print to PDF) with the static picture in place of the
interactive one, tables kept whole and no navigation."""

STYLESHEET = """
:root { --ink: #1d1d1f; --muted: #5f6368; --rule: #d0d4d9; --band: #f4f6f8; --warn: #8a4b00; }
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
       color: var(--ink); margin: 0 auto; max-width: 72rem; padding: 1rem 1.5rem 3rem; line-height: 1.45; }
h1 { font-size: 1.5rem; margin: 0.5rem 0 0.25rem; }
h2 { font-size: 1.15rem; margin: 1.75rem 0 0.5rem; border-bottom: 1px solid var(--rule); padding-bottom: 0.2rem; }
h3 { font-size: 1rem; margin: 1rem 0 0.4rem; }
.summary { font-size: 1.05rem; margin: 0.25rem 0; }
.made { color: var(--muted); margin: 0.25rem 0; font-size: 0.9rem; }
nav ul { list-style: none; padding: 0; margin: 0.5rem 0; display: flex; flex-wrap: wrap; gap: 0.25rem 1rem; }
nav a { color: #0b57d0; text-decoration: none; font-size: 0.9rem; }
table { border-collapse: collapse; margin: 0.5rem 0 1rem; font-size: 0.9rem; }
caption { text-align: left; color: var(--muted); padding-bottom: 0.25rem; }
th, td { padding: 0.2rem 0.6rem; border-bottom: 1px solid var(--rule); text-align: left; vertical-align: top; }
th { background: var(--band); font-weight: 600; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 0.15rem 1rem; margin: 0.5rem 0; font-size: 0.9rem; }
dt { color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; font-family: ui-monospace, "SFMono-Regular", Menlo, Consolas, monospace; }
ul.warnings li { color: var(--warn); margin-bottom: 0.3rem; }
p.note { color: var(--muted); font-size: 0.9rem; }
pre { background: var(--band); padding: 0.5rem; overflow-x: auto; font-size: 0.85rem; }
img.static { max-width: 100%; }
.print-only { display: none; }
@media print {
  @page { size: A4; margin: 15mm 12mm; }
  body { max-width: none; padding: 0; font-size: 10pt; }
  .screen-only { display: none !important; }
  .print-only { display: block; }
  h2 { break-after: avoid; }
  table, dl, img, figure { break-inside: avoid; }
  a { color: inherit; text-decoration: none; }
}
"""
