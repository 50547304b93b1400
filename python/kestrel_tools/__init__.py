"""Pure-Python companions of the Kestrel extension module.

- :mod:`kestrel_tools.frames`: score DataFrames in, weight DataFrames out
  (needs pandas).
- :mod:`kestrel_tools.report`: read the per-date report lines and draw a PNG
  report of a run (needs matplotlib for the picture).
- :mod:`kestrel_tools.tables`: the extension's fixed tables (algorithm
  names and the settings each reads, benchmark-weight fields).
- :mod:`kestrel_tools.finish`: the exact finish of ``Kestrel.run(...,
  finish="exact")`` and the exact optimum it is measured against (needs
  highspy).
- :mod:`kestrel_tools.sweep`: run a grid of settings as independent tasks on
  a Dask cluster and collect a summary table (needs dask.distributed and
  pandas).
- :mod:`kestrel_tools.evaluation`: what a run's weights earned against the
  benchmark after costs, and its attribution to factors, sectors and
  selection (numpy; pandas for frames).
- :mod:`kestrel_tools.tearsheet`: a one-page PNG of an evaluation (needs
  matplotlib).

Each submodule imports its optional dependency itself, so importing this
package needs nothing beyond Kestrel's own requirements.
"""

# finish is left out: it imports its solver.
__all__ = ["evaluation", "frames", "report", "sweep", "tables", "tearsheet"]
