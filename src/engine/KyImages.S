/* The two firmware images, included byte for byte from the files the
   generator made. Each is followed by its size in bytes. */
    .section .rodata
    .balign 4
    .globl KyXilinxData
    .type KyXilinxData, @object
KyXilinxData:
    .incbin KY_XILINX_IMAGE
KyXilinxDataEnd:
    .byte 0, 0, 0, 0
    .balign 4
    .globl KyXilinxDataSizeBytes
    .type KyXilinxDataSizeBytes, @object
KyXilinxDataSizeBytes:
    .long KyXilinxDataEnd - KyXilinxData

    .balign 4
    .globl KyMCORE06data
    .type KyMCORE06data, @object
KyMCORE06data:
    .incbin KY_MCORE_IMAGE
KyMCORE06dataEnd:
    .byte 0, 0, 0, 0
    .balign 4
    .globl KyMCORE06dataSize
    .type KyMCORE06dataSize, @object
KyMCORE06dataSize:
    .long KyMCORE06dataEnd - KyMCORE06data

    .section .note.GNU-stack,"",@progbits
