# Fuzz targets.
