"""`python -m norvo`: the same command-line tool as the `norvo` script."""

from norvo.cli import main

raise SystemExit(main())
