#!/bin/sh
# Placeholder until the fuzz targets land.
exit 0
