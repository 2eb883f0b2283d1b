; Resources of win32_resource_tests (attached to the test program itself).
strings strings.txt
version version.txt
; neutral language: found without naming one
data 260 134 0x0400 package.bin
data "Package" "Zip" 0x0409 package.bin
data "Package" "Zip" 0x040C ${FRENCH_FILE}
; a string block cut short after its second entry
data RT_STRING 200 0x0409 truncated.bin
icon 128 0x0409 icon.ico
bitmap 137 0x0409 picture.bmp
