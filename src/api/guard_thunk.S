/*
 * int QorGuardCall(void (*body)(void *), void *context)
 *
 * Calls body(context) inside a structured exception frame. The frame's
 * language handler is the runtime's __C_specific_handler with one scope entry:
 * the call, the filter QorGuardFilter, and the landing point. A fault the
 * filter accepts unwinds straight back here (the body's frames are abandoned)
 * and the result is 0; a normal return gives 1.
 */
    .text
    .globl QorGuardCall
    .def QorGuardCall; .scl 2; .type 32; .endef
    .seh_proc QorGuardCall
QorGuardCall:
    subq $40, %rsp                  /* shadow space, stack kept 16-byte aligned */
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1                         /* one scope entry */
    .rva .Lguard_begin, .Lguard_end, QorGuardFilter, .Lguard_fault
    .text
    movq %rcx, %rax
    movq %rdx, %rcx
.Lguard_begin:
    callq *%rax
    nop                             /* the return address must lie inside the scope */
.Lguard_end:
    movl $1, %eax
    addq $40, %rsp
    ret
.Lguard_fault:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_endproc
