"""python -m quorvane: the command line."""
import sys

from quorvane.cli import main

sys.exit(main())
