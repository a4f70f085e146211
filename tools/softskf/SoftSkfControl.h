#pragma once
/*
 * Test controls of the software SKF token, exported next to the SKF functions. Tests reach
 * them through dlsym on the library the binding loaded (same path, same instance); a running
 * agent is driven through the same controls over the SOFTSKF_CONTROL socket (softskfctl).
 *
 * Names are separated by commas; one plug or unplug of several names is one device event
 * that carries all of them. Plugging a name the token does not know adds a blank token.
 */
#include "devices/skf/SkfApi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG (*PFN_SOFTSKF_Plug)(const char* szNames);
typedef ULONG (*PFN_SOFTSKF_Unplug)(const char* szNames);
/* Replaces the whole state by a state file (NULL or "": no token at all); earlier handles
 * end. The new state is written to SOFTSKF_STATE when that is set. */
typedef ULONG (*PFN_SOFTSKF_Reset)(const char* szPath);
typedef ULONG (*PFN_SOFTSKF_ResetJson)(const char* szJson);
/* The next call of the named SKF function answers ulCode without doing anything (0 disarms). */
typedef ULONG (*PFN_SOFTSKF_FailNext)(const char* szFunction, ULONG ulCode);
/* A raw device event of any type, for the waiting thread. */
typedef ULONG (*PFN_SOFTSKF_PostEvent)(const char* szNames, ULONG ulType);
/* Calls of an SKF function since the last reset. */
typedef ULONG (*PFN_SOFTSKF_CallCount)(const char* szFunction);
/* Threads blocked in SKF_WaitForDevEvent. */
typedef ULONG (*PFN_SOFTSKF_Waiters)(void);

#ifdef __cplusplus
}
#endif
