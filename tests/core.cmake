# test targets (core)
