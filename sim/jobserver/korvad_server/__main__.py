"""python3 -m korvad_server: the same as the korvad-server command."""
import sys

from .cli import main

sys.exit(main())
