# test targets (db_pg)
