"""`python -m orvane_platform` runs the `orvane` command."""

from orvane_platform.cli import main

raise SystemExit(main())
