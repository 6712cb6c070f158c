// Frames written in assembly, whose shape the compiler cannot change.
asm(R"(
  .text
  .globl fastunwind_expression_frame
  .type fastunwind_expression_frame, @function
fastunwind_expression_frame:
  .cfi_startproc
  pushq %rbp
  .cfi_def_cfa_offset 16
  .cfi_offset %rbp, -16
  movq %rsp, %rbp
  # DW_CFA_def_cfa_expression: DW_OP_breg6 (rbp) 16
  .cfi_escape 0x0f, 0x02, 0x76, 0x10
  movq %rdi, %rax
  movq %rsi, %rdi
  call *%rax
  nop
  popq %rbp
  .cfi_def_cfa %rsp, 8
  ret
  .cfi_endproc
  .size fastunwind_expression_frame, .-fastunwind_expression_frame

  # Ends in a row unlike the next function's first one: a lookup at the faulting pc - 1 would
  # find this row instead of the right one.
  .type fastunwind_store_guard, @function
fastunwind_store_guard:
  .cfi_startproc
  pushq %rbp
  .cfi_def_cfa_offset 16
  ud2
  .cfi_endproc
  .size fastunwind_store_guard, .-fastunwind_store_guard

  .globl fastunwind_store_first
  .type fastunwind_store_first, @function
fastunwind_store_first:
  .cfi_startproc
  movl $1, (%rdi)
  ret
  .cfi_endproc
  .size fastunwind_store_first, .-fastunwind_store_first

  .globl fastunwind_caller_state
  .type fastunwind_caller_state, @function
fastunwind_caller_state:
  .cfi_startproc
  movq (%rsp), %rax
  movq %rax, 0(%rdi)
  leaq 8(%rsp), %rax
  movq %rax, 8(%rdi)
  movq %rbp, 16(%rdi)
  ret
  .cfi_endproc
  .size fastunwind_caller_state, .-fastunwind_caller_state
)");
