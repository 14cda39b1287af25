"""`python -m algo`: the algo-health command."""

from algo.cli import main

raise SystemExit(main())
