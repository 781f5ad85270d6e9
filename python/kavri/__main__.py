import sys

from kavri.cli import main

sys.exit(main())
