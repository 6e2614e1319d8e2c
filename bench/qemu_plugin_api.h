/* What bench/qcount.c needs of qemu's TCG plugin interface, version 1 (qemu
 * 7.2, Debian bookworm's qemu-user), which Debian ships no header for. The
 * functions are resolved in the qemu binary that loads the plugin. */
#ifndef QCOUNT_QEMU_PLUGIN_API_H
#define QCOUNT_QEMU_PLUGIN_API_H

#include <stddef.h>
#include <stdint.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t; /* only passed through */
struct qemu_plugin_tb;
struct qemu_plugin_insn;

enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index,
                                              int64_t num, uint64_t a1, uint64_t a2, uint64_t a3,
                                              uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7,
                                              uint64_t a8);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_syscall_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *insn);
void qemu_plugin_outs(const char *string);

#endif
