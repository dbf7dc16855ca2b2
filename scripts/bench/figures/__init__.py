"""One module per figure; each has a measure(args) that returns its results by key."""
