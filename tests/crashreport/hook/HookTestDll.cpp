// A DLL whose procedures have known first instructions, for patching tests.
// Written in assembly so that the compiler can't change their prologues.
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

  .att_syntax
)");
