// The bus-fault trap: turns SIGBUS from device memory into an error return.
//
// Two ways in:
//  - arm a range, set a landing point with sigsetjmp(nr_trap_jmp, 1), read;
//    a fault in the range jumps back with 1 (the telemetry reader's way);
//  - the nr_devmem_* routines below: one device access each, whose fault
//    the handler recovers by moving the program counter to a return of 1,
//    with no jump and no system call on the way in.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>

extern "C" {

// The calling thread's landing point (thread-local).
extern thread_local sigjmp_buf nr_trap_jmp __attribute__((tls_model("initial-exec")));

// Arms [base, base + len) on the calling thread, installing the handler on
// first use.  Arming again replaces the range.
void nr_trap_arm(const void *base, size_t len);
void nr_trap_disarm(void);

// Puts the process's trap on top of whatever SIGBUS disposition is in force
// now, chaining to it, unless it is on top already.  For hosts that install
// a SIGBUS handler of their own after ours (one system call when on top).
// With several copies of the library in the process, the one trap they
// elected is claimed, and it recovers the faults of every copy.
void nr_trap_claim(void);

// Fault-safe device accesses: 0 done, 1 the access raised SIGBUS (the card
// was reset or removed).  A load's result is written only on success.  The
// handler must be installed (nr_trap_claim or an arming) before use.
int nr_devmem_load8(const volatile void *p, uint8_t *out);
int nr_devmem_load16(const volatile void *p, uint16_t *out);
int nr_devmem_load32(const volatile void *p, uint32_t *out);
int nr_devmem_load64(const volatile void *p, uint64_t *out);
int nr_devmem_store8(volatile void *p, uint8_t v);
int nr_devmem_store16(volatile void *p, uint16_t v);
int nr_devmem_store32(volatile void *p, uint32_t v);
int nr_devmem_store64(volatile void *p, uint64_t v);

} // extern "C"
