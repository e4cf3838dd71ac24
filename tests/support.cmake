# test targets (support)
