// A DLL whose procedures have known first instructions, for patching tests.
// Written in assembly so that the compiler can't change their prologues; each
// procedure has a 32-bit and an x86-64 form (argument on the stack or in
// ecx) that start with the same kind of instruction.
#if defined(__x86_64__)
asm(R"(
  .intel_syntax noprefix
  .text

  # An ordinary frame prologue; the test program imports it by name.
  .globl HkAdd
  .p2align 4
HkAdd:
  push rbp
  mov rbp, rsp
  lea eax, [rcx + rdx]
  pop rbp
  ret

  # Starts with a relative call: x + 100.
  .globl HkCallFirst
  .p2align 4
HkCallFirst:
  call HkHundred
  add eax, ecx
  ret
HkHundred:
  mov eax, 100
  ret

  # Starts with a RIP-relative read of data: x + 100.
  .globl HkDataFirst
  .p2align 4
HkDataFirst:
  mov eax, dword ptr [rip + HkHundredValue]
  add eax, ecx
  ret

  # Starts with a call through a RIP-relative slot: x + 100.
  .globl HkSlotCallFirst
  .p2align 4
HkSlotCallFirst:
  call qword ptr [rip + HkHundredSlot]
  add eax, ecx
  ret

  # A short conditional jump among the first bytes, always taken: 2 * x.
  .globl HkJccFirst
  .p2align 4
HkJccFirst:
  xor eax, eax
  jz 1f
  mov eax, -1
  ret
1:
  lea eax, [rcx + rcx]
  ret

  # jrcxz, which has no long form, among the first bytes: x + 1, or -1 for 0.
  .globl HkLoopFirst
  .p2align 4
HkLoopFirst:
  mov ecx, ecx
  jrcxz 1f
  lea eax, [rcx + 1]
  ret
1:
  mov eax, -1
  ret

  # Three bytes long, the next procedure right behind it: patching it would
  # overwrite HkAfterShort.
  .globl HkTooShort
  .p2align 4
HkTooShort:
  xor eax, eax
  ret
  .globl HkAfterShort
HkAfterShort:
  mov eax, 7
  ret

  .data
  .p2align 3
HkHundredValue:
  .long 100
  .p2align 3
HkHundredSlot:
  .quad HkHundred

  .att_syntax
)");
#else
asm(R"(
  .intel_syntax noprefix
  .text

  # An ordinary frame prologue; the test program imports it by name.
  .globl _HkAdd
  .p2align 4
_HkAdd:
  push ebp
  mov ebp, esp
  mov eax, [ebp + 8]
  add eax, [ebp + 12]
  pop ebp
  ret

  # Starts with a relative call: x + 100.
  .globl _HkCallFirst
  .p2align 4
_HkCallFirst:
  call _HkHundred
  add eax, [esp + 4]
  ret
_HkHundred:
  mov eax, 100
  ret

  # Starts with a read of data at an absolute address: x + 100.
  .globl _HkDataFirst
  .p2align 4
_HkDataFirst:
  mov eax, dword ptr [_HkHundredValue]
  add eax, [esp + 4]
  ret

  # Starts with a call through a slot at an absolute address: x + 100.
  .globl _HkSlotCallFirst
  .p2align 4
_HkSlotCallFirst:
  call dword ptr [_HkHundredSlot]
  add eax, [esp + 4]
  ret

  # A short conditional jump among the first bytes, always taken: 2 * x.
  .globl _HkJccFirst
  .p2align 4
_HkJccFirst:
  xor eax, eax
  jz 1f
  mov eax, -1
  ret
1:
  mov eax, [esp + 4]
  add eax, eax
  ret

  # jecxz, which has no long form, among the first bytes: x + 1, or -1 for 0.
  .globl _HkLoopFirst
  .p2align 4
_HkLoopFirst:
  mov ecx, [esp + 4]
  jecxz 1f
  lea eax, [ecx + 1]
  ret
1:
  mov eax, -1
  ret

  # Three bytes long, the next procedure right behind it: patching it would
  # overwrite HkAfterShort.
  .globl _HkTooShort
  .p2align 4
_HkTooShort:
  xor eax, eax
  ret
  .globl _HkAfterShort
_HkAfterShort:
  mov eax, 7
  ret

  .data
  .p2align 2
_HkHundredValue:
  .long 100
_HkHundredSlot:
  .long _HkHundred

  .att_syntax
)");
#endif
