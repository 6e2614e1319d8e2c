/* qcount: a qemu-user TCG plugin that counts the guest instructions executed
 * between marker system calls, by instruction address.
 *
 * The program under test marks what to count with an unused system call
 * number (natively the call just fails with ENOSYS):
 *
 *   syscall(7919, 1L, id)   begin counting segment `id`
 *   syscall(7919, 2L, id)   end it: its counts are appended to the output
 *
 * Every translated block carries one 64-bit counter that TCG increments
 * inline each time the block is entered, so counting costs no callback. A
 * segment's count is the difference of the counters between its two marks,
 * times the block's instructions. A block entered and left early (a fault, a
 * system call inside it) still counts whole, and conditional ARM
 * instructions count whether or not their condition passes: a count is what
 * was issued, not a time. The output is, per segment:
 *
 *   # segment <id> total <instructions>
 *   <hex guest address> <executions>       one line per instruction
 *
 * An address can appear more than once (code translated again); readers add
 * the lines up. Build (qemu 7.2, plugin API 1):
 *
 *   cc -O2 -fPIC -shared -fvisibility=hidden -o qcount.so qcount.c
 *   qemu-arm -plugin ./qcount.so,out=FILE program ...
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qemu_plugin_api.h"

#define EXPORT __attribute__((visibility("default")))

EXPORT int qemu_plugin_version = 1;

enum { MARKER = 7919, BEGIN = 1, END = 2 };

/* One translated block: its counter, the counter at the segment's start,
 * and the address of each of its instructions. */
struct block {
  uint64_t entered;
  uint64_t at_begin;
  struct block *next;
  size_t insns;
  uint64_t addr[];
};

static struct block *blocks;
static FILE *out;
static const char *out_path = "qcount.txt";

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  const size_t n = qemu_plugin_tb_n_insns(tb);
  struct block *b = calloc(1, sizeof *b + n * sizeof b->addr[0]);
  if (!b) {
    abort();
  }
  b->insns = n;
  for (size_t i = 0; i < n; ++i) {
    b->addr[i] = qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, i));
  }
  b->next = blocks;
  blocks = b;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->entered, 1);
}

static void begin_segment(void) {
  for (struct block *b = blocks; b; b = b->next) {
    b->at_begin = b->entered;
  }
}

static void end_segment(uint64_t segment) {
  if (!out && !(out = fopen(out_path, "w"))) {
    qemu_plugin_outs("qcount: cannot open the output file\n");
    return;
  }
  uint64_t total = 0;
  for (struct block *b = blocks; b; b = b->next) {
    total += (b->entered - b->at_begin) * b->insns;
  }
  fprintf(out, "# segment %llu total %llu\n", (unsigned long long)segment,
          (unsigned long long)total);
  for (struct block *b = blocks; b; b = b->next) {
    const uint64_t times = b->entered - b->at_begin;
    for (size_t i = 0; times && i < b->insns; ++i) {
      fprintf(out, "%llx %llu\n", (unsigned long long)b->addr[i], (unsigned long long)times);
    }
  }
  fflush(out);
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t number, uint64_t a1,
                       uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7,
                       uint64_t a8) {
  (void)id, (void)vcpu, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
  if (number != MARKER) {
    return;
  }
  if (a1 == BEGIN) {
    begin_segment();
  } else if (a1 == END) {
    end_segment(a2);
  }
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                               char **argv) {
  (void)info;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) == 0) {
      out_path = argv[i] + 4;
    }
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
  return 0;
}
