# test targets (db_core)
