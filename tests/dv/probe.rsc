; Resources of dv_probe: no version resource, and a string block cut short after its
; second entry (ids 3184 to 3199 of block 200).
data RT_STRING 200 0x0409 ../win32/data/truncated.bin
