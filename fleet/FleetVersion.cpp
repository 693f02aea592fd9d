// The fleet library's sources are added beside this file.
