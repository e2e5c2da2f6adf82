// Run-time choice of vector width for the loops that run over every bin
// every hop.
#pragma once

#include <cstddef>  // defines __GLIBC__ where there is one

// A function marked TAVIX_VECTOR_CLONES is compiled twice, for the x86-64
// baseline (SSE2) and for AVX2, and the dynamic loader picks one for the CPU
// it runs on (an ifunc), so one wheel is both portable and fast. The AVX2
// clone leaves out FMA on purpose: a fused multiply-add rounds once where
// the baseline rounds twice, and the output would then differ by CPU; with
// plain AVX2 each lane does exactly the baseline's arithmetic, so the output
// is bit-identical everywhere. Other architectures and C libraries without
// ifuncs get the one baseline build.
//
// Mark only functions that are called from their own source file alone,
// and define them before the first call there: Clang rejects a call that
// comes first, and Clang 14 links a call from another file to the clones'
// resolver instead of the chosen clone (the call silently does nothing).
//
// Sanitizer builds get the baseline alone: the resolver runs while the
// dynamic loader relocates the library, before any sanitizer runtime is up,
// and an instrumented resolver crashes there (ThreadSanitizer does). The
// clone is the same source, so they check it too.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define TAVIX_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVIX_SANITIZED_BUILD 1
#endif
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute) && !defined(TAVIX_SANITIZED_BUILD)
#if __has_attribute(target_clones)
#define TAVIX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef TAVIX_VECTOR_CLONES
#define TAVIX_VECTOR_CLONES
#endif
