"""``python -m kelvar``: the same command line as the ``kelvar`` script."""

import sys

from kelvar.cli import main

if __name__ == "__main__":
    sys.exit(main())
