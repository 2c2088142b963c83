"""python3 -m korvad_jobtool: the same as the korvad-jobtool command."""
import sys

from .cli import main

sys.exit(main())
