# test targets (components)
