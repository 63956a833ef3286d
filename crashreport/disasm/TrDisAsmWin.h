// Reading this process's own code for the disassembler, without faulting on
// unmapped or protected pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tracira {

// Copies the bytes at address into buffer up to the first unreadable page
// and returns how many were copied. Fits TDisAsm::OnReadMemory.
std::size_t ReadOwnMemory(std::uint64_t address, std::span<std::uint8_t> buffer);

}  // namespace tracira
