"""Python interface to the Tavix audio SDK.

Everything of the native extension ``_tavix_module`` is re-exported here; the
package adds the command line (``python -m tavix``)."""

from _tavix_module import *  # noqa: F401,F403
from _tavix_module import __version__  # noqa: F401
