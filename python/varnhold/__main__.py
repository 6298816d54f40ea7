"""`python -m varnhold` runs the command line."""

from varnhold.cli import main

if __name__ == "__main__":
    main()
