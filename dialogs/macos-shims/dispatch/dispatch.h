// The part of libdispatch that dialogs_mac.mm uses, declared for the Linux
// syntax check; macOS builds use the system header.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dispatch_queue_s *dispatch_queue_t;
typedef void (^dispatch_block_t)(void);

dispatch_queue_t dispatch_get_main_queue(void);
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);

#ifdef __cplusplus
}
#endif
