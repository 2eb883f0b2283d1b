; Resources of Marquetta.exe.
version version.txt
