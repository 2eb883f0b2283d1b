; Resources of the test module dvres.dll.
data "MODULE" 1 0x0409 module.txt
version module_version.txt
