"""Crystal structures: read from CIF files (or plain arrays), their space
groups and symmetry images, and the checks that refuse what cannot give a
meaningful pattern and warn of what is merely implausible."""
