// Between the platform's own libraries only (not installed, not for clients): the interfaces
// library keeps state per IPC channel and must hear when a channel is gone, so that nothing of it
// outlives the channel or reaches a new channel that the allocator places at the same address.
#ifndef NELKO_CORE_CHANNEL_EVENTS_H
#define NELKO_CORE_CHANNEL_EVENTS_H

namespace nelko::core {

// Called with the handle of every initiator channel that nelko_core_ipc_deinit closed, after its
// thread has stopped: nothing is delivered for that handle any more. One observer per process;
// a later call replaces it.
using ChannelClosedObserver = void (*)(void* ipc_handle);
void set_channel_closed_observer(ChannelClosedObserver observer);

}  // namespace nelko::core

#endif
