// The driver image, as the build made it, carried as data. NE2K_IMAGE_FILE
// is its path, given by the build.
        .section .rodata
        .balign 16
        .global metal_image_start, metal_image_end
metal_image_start:
        .incbin NE2K_IMAGE_FILE
metal_image_end:

        .section .note.GNU-stack, "", @progbits
