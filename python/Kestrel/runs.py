"""The names ``kestrel_tools.runs`` held, where they now live: the result and
its frames (:mod:`Kestrel.result`), states (:mod:`Kestrel.state`) and files
(:mod:`Kestrel.runfile`)."""

from .result import STATUS_NAMES, RunFrames, result_html, summary, to_pandas
from .runfile import RunFileError, load, save
from .state import Reindexed, reindex_state

__all__ = ["STATUS_NAMES", "Reindexed", "RunFileError", "RunFrames", "load", "reindex_state", "result_html", "save",
           "summary", "to_pandas"]
