import sys

from knobsmith.cli import main

sys.exit(main())
