# sources of fonwerk_services (components)
