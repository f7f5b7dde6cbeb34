"""The command line's subcommands, one module each (``python -m korvel COMMAND``)."""
