; Resources of the installer (InstallMarquetta6.05f). Format: docs/architecture.md, "Resources".
; The user-interface areas add their dialogs, icons and the picture here; the package is added
; by the build with ${PACKAGE}.

strings strings/french.txt strings/english.txt strings/german.txt strings/spanish.txt
strings strings/portuguese.txt strings/italian.txt strings/dutch.txt strings/danish.txt
strings strings/turkish.txt strings/chinese.txt strings/bulgarian.txt strings/romanian.txt
strings strings/czech.txt strings/norwegian.txt strings/greek.txt strings/polish.txt
strings strings/hebrew.txt

; Language neutral, as the installer's own version resource is.
version installer/version.txt 0x0000
