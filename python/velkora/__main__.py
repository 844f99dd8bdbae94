"""python -m velkora: the velkora command."""

import sys

from velkora.cli import main

sys.exit(main())
