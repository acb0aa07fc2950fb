// IStream_layoutInitiator: the object behind a handle. It turns each command of the stream_layout
// interface into a request (builders, members ending in _utility_send), reads synchronous
// responses into C out-values (readers, members ending in _receive), and completes asynchronous
// requests through its seven callback registries and dispatch table (completion members).
//
// The named members are thin: each instantiates the generic code below with its command's
// description from stream_layout_commands.h.
#ifndef NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_H
#define NELKO_INITIATOR_I_STREAM_LAYOUT_INITIATOR_H

#include <boost/noncopyable.hpp>
#include <map>
#include <string>
#include <utility>

#include "callback_registry.h"
#include "nelko_initiator_interfaces.h"
#include "stream_layout_commands.h"

class IStream_layoutInitiator : public nelkoInitiatorInterfaces, private boost::noncopyable {
 public:
  static constexpr std::uint32_t kVersionMajor = 0;
  static constexpr std::uint32_t kVersionMinor = 9;

  // Throws when the channel cannot be opened or a registry mutex cannot be created; whatever was
  // built is destroyed again (an opened channel is closed).
  IStream_layoutInitiator(void* ipc_handle, void* log_handle, char const* initiator_name);
  // Stops deliveries to this object first, then drops pending requests without calling them.
  ~IStream_layoutInitiator() override;

  // Request builders: build the request of their command and send it through basicSendCommand.
  // They return its status, 1 for a null layout list (with a warning), 4 for any exception.
  nelko_core_status stream_layout_get_stream_layout_utility_send(char const* target, char* uuid,
                                                                 unsigned int stream_index);
  nelko_core_status stream_layout_set_stream_layout_utility_send(
      char const* target, char* uuid, unsigned int stream_index,
      unsigned int** source_upper_left_x_millipercent,
      unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
      unsigned int** source_height_millipercent, unsigned int** destination_type,
      unsigned int** destination_upper_left_x_millipercent,
      unsigned int** destination_upper_left_y_millipercent,
      unsigned int** destination_width_millipercent,
      unsigned int** destination_height_millipercent);
  nelko_core_status stream_layout_set_roi_utility_send(char const* target, char* uuid,
                                                       unsigned int roi_index,
                                                       unsigned int roi_set, double pan,
                                                       double tilt, double roll, double vfov);
  nelko_core_status stream_layout_get_roi_utility_send(char const* target, char* uuid,
                                                       unsigned int roi_index,
                                                       unsigned int roi_set);
  nelko_core_status stream_layout_get_num_roi_utility_send(char const* target, char* uuid);
  nelko_core_status stream_layout_stream_point_to_pan_tilt_utility_send(char const* target,
                                                                        char* uuid,
                                                                        unsigned int stream_index,
                                                                        double x, double y);
  nelko_core_status stream_layout___get_target_version___utility_send(char const* target,
                                                                      char* uuid);

  // Synchronous readers: wait for the response to uuid and read it leniently into the
  // out-parameters; uuid is released (free) only when they return 0.
  nelko_core_status stream_layout_get_stream_layout_receive(
      char const* target, int timeout, void* uuid,
      unsigned int*** source_upper_left_x_millipercent,
      unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
      unsigned int*** source_height_millipercent, unsigned int*** destination_type,
      unsigned int*** destination_upper_left_x_millipercent,
      unsigned int*** destination_upper_left_y_millipercent,
      unsigned int*** destination_width_millipercent,
      unsigned int*** destination_height_millipercent);
  nelko_core_status stream_layout_get_roi_receive(char const* target, int timeout, void* uuid,
                                                  double* pan, double* tilt, double* roll,
                                                  double* vfov);
  nelko_core_status stream_layout_stream_point_to_pan_tilt_receive(char const* target,
                                                                   int timeout, void* uuid,
                                                                   double* pan, double* tilt);

  // Looks the command name up in the dispatch table and runs its completion member; an unknown
  // name is ignored silently.
  void subclassResponseDispatch(char const* command, char* first_text, char* uuid,
                                json::Object& response) override;

  // Completion members: find the registry entry of uuid, read the response strictly and call the
  // client function with the command's mutex held. They never throw.
  void stream_layout__get_target_version__Callback(char* first_text, char* uuid,
                                                   json::Object const& response);
  void stream_layoutGet_stream_layoutCallback(char* first_text, char* uuid,
                                              json::Object const& response);
  void stream_layoutSet_stream_layoutCallback(char* first_text, char* uuid,
                                              json::Object const& response);
  void stream_layoutStream_point_to_pan_tiltCallback(char* first_text, char* uuid,
                                                     json::Object const& response);
  void stream_layoutGet_num_roiCallback(char* first_text, char* uuid,
                                        json::Object const& response);
  void stream_layoutGet_roiCallback(char* first_text, char* uuid, json::Object const& response);
  void stream_layoutSet_roiCallback(char* first_text, char* uuid, json::Object const& response);

  // -- Generic code over the command descriptions. --

  template <typename Command>
  using Registry = stream_layout::CallbackRegistry<typename Command::Callback>;
  template <typename Command>
  using Outs = typename stream_layout::OutsOf<typename Command::Results>::type;

  // 1, with the builder's warning, when a layout list among `values` is null; else 0. `values`
  // are a command's parameters or its inputs, which are named and ordered alike.
  template <typename Command, typename Values>
  nelko_core_status refuseNullList(Values const& values) const;

  // Builds the request of Command from its parameters and sends it.
  template <typename Command>
  nelko_core_status sendRequest(char const* target, char const* uuid,
                                typename Command::Params const& params);

  // Receives the response to uuid and reads it leniently into outs. uuid_released tells whether
  // uuid was freed: after all reads succeeded, or, for the version query, as soon as a response
  // with status 0 was received; after a non-zero status it never is. Throws on exceptions; the
  // call forms turn them into status 4.
  template <typename Command>
  nelko_core_status receiveResponse(char const* target, int timeout, void* uuid,
                                    Outs<Command> const& outs, bool& uuid_released);

  template <typename Command>
  void complete(char* first_text, char* uuid, json::Object const& response);

  template <typename Command>
  Registry<Command>& registry();

 private:
  using Completion = void (IStream_layoutInitiator::*)(char*, char*, json::Object const&);

  template <typename Command>
  nelko_core_status readResult(json::Object& response, char const* name, unsigned int* out);
  template <typename Command>
  nelko_core_status readResult(json::Object& response, char const* name, double* out);
  template <typename Command>
  nelko_core_status readResult(json::Object& response, char const* name, unsigned int*** out);
  void checkTargetVersion(unsigned int target_major, unsigned int target_minor) const;

  std::map<std::string, Completion, std::less<>> m_dispatchTable;
  Registry<stream_layout::GetStreamLayout> m_getStreamLayoutRegistry;
  Registry<stream_layout::SetStreamLayout> m_setStreamLayoutRegistry;
  Registry<stream_layout::StreamPointToPanTilt> m_streamPointToPanTiltRegistry;
  Registry<stream_layout::GetNumRoi> m_getNumRoiRegistry;
  Registry<stream_layout::GetRoi> m_getRoiRegistry;
  Registry<stream_layout::SetRoi> m_setRoiRegistry;
  Registry<stream_layout::GetTargetVersion> m_getTargetVersionRegistry;

  template <typename Command>
  friend struct CommandMembers;
};

// The named members of each command, for the generic call forms.
template <typename Command>
struct CommandMembers;

#define NELKO_COMMAND_MEMBERS(Command, builder_member, registry_member)                      \
  template <>                                                                                 \
  struct CommandMembers<stream_layout::Command> {                                             \
    static constexpr auto builder = &IStream_layoutInitiator::builder_member;                 \
    static constexpr auto registry = &IStream_layoutInitiator::registry_member;               \
  };
NELKO_COMMAND_MEMBERS(GetStreamLayout, stream_layout_get_stream_layout_utility_send,
                      m_getStreamLayoutRegistry)
NELKO_COMMAND_MEMBERS(SetStreamLayout, stream_layout_set_stream_layout_utility_send,
                      m_setStreamLayoutRegistry)
NELKO_COMMAND_MEMBERS(StreamPointToPanTilt, stream_layout_stream_point_to_pan_tilt_utility_send,
                      m_streamPointToPanTiltRegistry)
NELKO_COMMAND_MEMBERS(GetNumRoi, stream_layout_get_num_roi_utility_send, m_getNumRoiRegistry)
NELKO_COMMAND_MEMBERS(GetRoi, stream_layout_get_roi_utility_send, m_getRoiRegistry)
NELKO_COMMAND_MEMBERS(SetRoi, stream_layout_set_roi_utility_send, m_setRoiRegistry)
NELKO_COMMAND_MEMBERS(GetTargetVersion, stream_layout___get_target_version___utility_send,
                      m_getTargetVersionRegistry)
#undef NELKO_COMMAND_MEMBERS

template <typename Command>
IStream_layoutInitiator::Registry<Command>& IStream_layoutInitiator::registry() {
  return this->*CommandMembers<Command>::registry;
}

#include "i_stream_layout_initiator_impl.h"

#endif
