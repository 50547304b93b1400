"""The former name of Kestrel's Python tools, kept so that scripts written
against it keep working: ``kestrel_tools.<module>`` is ``Kestrel.<module>``,
the very same module object. New code imports from :mod:`Kestrel`.
"""

import sys

from Kestrel import evaluation, finish, frames, report, runs, sweep, tables, tearsheet

__all__ = ["evaluation", "finish", "frames", "report", "runs", "sweep", "tables", "tearsheet"]

# `import kestrel_tools.frames` finds the module here once this package is imported.
for _module in (evaluation, finish, frames, report, runs, sweep, tables, tearsheet):
    sys.modules[f"{__name__}.{_module.__name__.rsplit('.', 1)[1]}"] = _module
del _module
