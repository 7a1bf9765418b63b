// The kernel's first instructions and its interrupt entry points.
//
// A multiboot (version 1) loader (QEMU's -kernel, GRUB) enters at
// metal_start in 32-bit protected mode, paging off, interrupts off, with
// EAX = 0x2BADB002 and EBX = the physical address of its information
// record. The header below must lie in the first 8 KB of the file: the
// linker script puts its section first.

#define MULTIBOOT_MAGIC 0x1BADB002
#define MULTIBOOT_FLAGS 0x00000003  // modules page-aligned, memory information wanted

        .section .multiboot, "a"
        .balign 4
        .long MULTIBOOT_MAGIC
        .long MULTIBOOT_FLAGS
        .long -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

        .section .bss
        .balign 16
metal_stack:
        .skip 65536
metal_stack_top:

        .text
        .global metal_start
metal_start:
        cli
        mov $metal_stack_top, %esp
        cld
        push $0                  // no return address beyond this frame
        push %ebx                // multiboot information
        push %eax                // multiboot magic
        call metal_main          // does not return
1:      cli
        hlt
        jmp 1b

// Loads the GDT given and reloads every segment register: code selector
// 0x08, data selector 0x10.
//   void cpu_load_gdt(const void* descriptor);
        .global cpu_load_gdt
cpu_load_gdt:
        mov 4(%esp), %eax
        lgdt (%eax)
        mov $0x10, %ax
        mov %ax, %ds
        mov %ax, %es
        mov %ax, %fs
        mov %ax, %gs
        mov %ax, %ss
        ljmp $0x08, $2f
2:      ret

// One entry point per vector: each pushes a zero where the processor
// pushes no error code, then the vector, and goes to the common path,
// which saves the registers and calls cpu_interrupt(frame).
.macro vector n
        .balign 8
vector_\n:
.if (\n == 8 || (\n >= 10 && \n <= 14) || \n == 17 || \n == 21 || \n == 29 || \n == 30)
        push $\n
.else
        push $0
        push $\n
.endif
        jmp interrupt_common
.endm

        .balign 8
        .global cpu_vectors
cpu_vectors:
.altmacro
.set n, 0
.rept 256
        vector %n
.set n, n + 1
.endr

interrupt_common:
        pusha
        push %esp                // the frame: registers, vector, error code, iret frame
        call cpu_interrupt
        add $4, %esp
        popa
        add $8, %esp             // vector and error code
        iret

// The address of each entry point, for the IDT.
        .section .rodata
        .balign 4
        .global cpu_vector_table
cpu_vector_table:
.macro vector_address n
        .long vector_\n
.endm
.set n, 0
.rept 256
        vector_address %n
.set n, n + 1
.endr

        .section .note.GNU-stack, "", @progbits
