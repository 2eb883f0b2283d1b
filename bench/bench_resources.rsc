; The installer's resources as far as the benchmarks need them.
strings ${STRINGS}/french.txt ${STRINGS}/english.txt ${STRINGS}/german.txt
data 260 134 0x0400 ${PACKAGE}
