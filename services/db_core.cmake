# sources of fonwerk_services (db_core)
