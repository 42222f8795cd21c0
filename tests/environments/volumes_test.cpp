// Filled in by the environments work in progress.
