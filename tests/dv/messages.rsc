; Resources of dv_messages_tests: the installer's base string table, and the version resource
; of a pre-release build.
strings ../../res/strings/french.txt
version messages_version.txt
