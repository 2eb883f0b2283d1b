; Version 6.5.0.0, a private debug build, without copyright or description.
version version_6500.txt
