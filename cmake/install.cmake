# Installation rules and packaging.
