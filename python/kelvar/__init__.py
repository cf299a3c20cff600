"""Locate commands the way a user of the Windows command prompt thinks of them.

The functions are those of the native module ``_kelvar``, re-exported here so
that ``import kelvar`` offers the same API under the distribution's own name;
the module's own ``__all__`` says which they are.
"""

import _kelvar
from _kelvar import *  # noqa: F403

# The distribution's version, which the module reports as well.
__version__: str = _kelvar.get_version()

__all__ = list(_kelvar.__all__)
