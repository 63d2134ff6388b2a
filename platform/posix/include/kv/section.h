// Image sections shared by every process that loads a module. A variable placed
// in one of these sections is remapped, when the module is loaded, onto a
// shared-memory object of the machine that belongs to the module's file: every
// process that has the module loaded sees the same bytes, and the first one to
// map it after all earlier users are gone sees the section's initial image
// (zero for KV_SHARED_BSS).
#pragma once

#define KV_SHARED_BSS __attribute__((section("kvshared_bs"), used))
#define KV_SHARED_DATA __attribute__((section("kvshared_da"), used))

#define KV_STRINGIFY2(x) #x
#define KV_STRINGIFY(x) KV_STRINGIFY2(x)

// Defines the exported data symbol `alias` as the object of `size` bytes that
// lies `offset` bytes into `target` (an extern "C" object of this module).
#define KV_EXPORT_DATA_AT(alias, target, offset, size)                  \
  asm(".globl " #alias "\n\t.type " #alias ", @object\n\t.size " #alias \
      ", " KV_STRINGIFY(size) "\n\t.set " #alias ", " #target " + " KV_STRINGIFY(offset))
