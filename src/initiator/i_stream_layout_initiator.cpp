#include "i_stream_layout_initiator.h"

using namespace stream_layout;

IStream_layoutInitiator::IStream_layoutInitiator(void* ipc_handle, void* log_handle,
                                                 char const* initiator_name)
    : nelkoInitiatorInterfaces(ipc_handle, log_handle, initiator_name, kVersionMajor,
                               kVersionMinor) {
  m_dispatchTable = {
      {GetTargetVersion::kName, &IStream_layoutInitiator::stream_layout__get_target_version__Callback},
      {GetStreamLayout::kName, &IStream_layoutInitiator::stream_layoutGet_stream_layoutCallback},
      {SetStreamLayout::kName, &IStream_layoutInitiator::stream_layoutSet_stream_layoutCallback},
      {StreamPointToPanTilt::kName,
       &IStream_layoutInitiator::stream_layoutStream_point_to_pan_tiltCallback},
      {GetNumRoi::kName, &IStream_layoutInitiator::stream_layoutGet_num_roiCallback},
      {GetRoi::kName, &IStream_layoutInitiator::stream_layoutGet_roiCallback},
      {SetRoi::kName, &IStream_layoutInitiator::stream_layoutSet_roiCallback},
  };
}

IStream_layoutInitiator::~IStream_layoutInitiator() {
  // The registries and the table go before the base class closes an owned channel, and a
  // borrowed channel stays open: stop deliveries to this object before anything is destroyed.
  // Always, not only after a send_async: the withdrawal also makes the interfaces library forget
  // every request of this object that is still waiting for its response.
  unregisterResponseFunction();
}

nelko_core_status IStream_layoutInitiator::stream_layout_get_stream_layout_utility_send(
    char const* target, char* uuid, unsigned int stream_index) {
  return sendRequest<GetStreamLayout>(target, uuid, {stream_index});
}

nelko_core_status IStream_layoutInitiator::stream_layout_set_stream_layout_utility_send(
    char const* target, char* uuid, unsigned int stream_index, unsigned int** l1,
    unsigned int** l2, unsigned int** l3, unsigned int** l4, unsigned int** l5, unsigned int** l6,
    unsigned int** l7, unsigned int** l8, unsigned int** l9) {
  return sendRequest<SetStreamLayout>(target, uuid,
                                      {stream_index, l1, l2, l3, l4, l5, l6, l7, l8, l9});
}

nelko_core_status IStream_layoutInitiator::stream_layout_set_roi_utility_send(
    char const* target, char* uuid, unsigned int roi_index, unsigned int roi_set, double pan,
    double tilt, double roll, double vfov) {
  return sendRequest<SetRoi>(target, uuid, {roi_index, roi_set, pan, tilt, roll, vfov});
}

nelko_core_status IStream_layoutInitiator::stream_layout_get_roi_utility_send(
    char const* target, char* uuid, unsigned int roi_index, unsigned int roi_set) {
  return sendRequest<GetRoi>(target, uuid, {roi_index, roi_set});
}

nelko_core_status IStream_layoutInitiator::stream_layout_get_num_roi_utility_send(
    char const* target, char* uuid) {
  return sendRequest<GetNumRoi>(target, uuid, {});
}

nelko_core_status IStream_layoutInitiator::stream_layout_stream_point_to_pan_tilt_utility_send(
    char const* target, char* uuid, unsigned int stream_index, double x, double y) {
  return sendRequest<StreamPointToPanTilt>(target, uuid, {stream_index, x, y});
}

nelko_core_status IStream_layoutInitiator::stream_layout___get_target_version___utility_send(
    char const* target, char* uuid) {
  return sendRequest<GetTargetVersion>(target, uuid, {m_versionMajor, m_versionMinor});
}

// The readers own their exceptions: 4, out-parameters written so far stay, uuid stays the caller's.
#define NELKO_READER_BODY(Command, ...)                                                 \
  try {                                                                                 \
    bool released = false;                                                              \
    return receiveResponse<Command>(target, timeout, uuid, {__VA_ARGS__}, released);    \
  } catch (...) {                                                                       \
    return NELKO_CORE_STATUS_IPC_FAILED;                                                \
  }

nelko_core_status IStream_layoutInitiator::stream_layout_get_stream_layout_receive(
    char const* target, int timeout, void* uuid, unsigned int*** l1, unsigned int*** l2,
    unsigned int*** l3, unsigned int*** l4, unsigned int*** l5, unsigned int*** l6,
    unsigned int*** l7, unsigned int*** l8, unsigned int*** l9) {
  NELKO_READER_BODY(GetStreamLayout, l1, l2, l3, l4, l5, l6, l7, l8, l9)
}

nelko_core_status IStream_layoutInitiator::stream_layout_get_roi_receive(
    char const* target, int timeout, void* uuid, double* pan, double* tilt, double* roll,
    double* vfov) {
  NELKO_READER_BODY(GetRoi, pan, tilt, roll, vfov)
}

nelko_core_status IStream_layoutInitiator::stream_layout_stream_point_to_pan_tilt_receive(
    char const* target, int timeout, void* uuid, double* pan, double* tilt) {
  NELKO_READER_BODY(StreamPointToPanTilt, pan, tilt)
}
#undef NELKO_READER_BODY

void IStream_layoutInitiator::subclassResponseDispatch(char const* command, char* first_text,
                                                       char* uuid, json::Object& response) {
  if (command == nullptr) return;
  auto completion = m_dispatchTable.find(std::string_view(command));
  if (completion == m_dispatchTable.end()) return;
  (this->*completion->second)(first_text, uuid, response);
}

void IStream_layoutInitiator::stream_layout__get_target_version__Callback(
    char* first_text, char* uuid, json::Object const& response) {
  complete<GetTargetVersion>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutGet_stream_layoutCallback(
    char* first_text, char* uuid, json::Object const& response) {
  complete<GetStreamLayout>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutSet_stream_layoutCallback(
    char* first_text, char* uuid, json::Object const& response) {
  complete<SetStreamLayout>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutStream_point_to_pan_tiltCallback(
    char* first_text, char* uuid, json::Object const& response) {
  complete<StreamPointToPanTilt>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutGet_num_roiCallback(char* first_text, char* uuid,
                                                               json::Object const& response) {
  complete<GetNumRoi>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutGet_roiCallback(char* first_text, char* uuid,
                                                           json::Object const& response) {
  complete<GetRoi>(first_text, uuid, response);
}
void IStream_layoutInitiator::stream_layoutSet_roiCallback(char* first_text, char* uuid,
                                                           json::Object const& response) {
  complete<SetRoi>(first_text, uuid, response);
}

void IStream_layoutInitiator::checkTargetVersion(unsigned int target_major,
                                                 unsigned int target_minor) const {
  if (target_major == m_versionMajor && target_minor == m_versionMinor) return;
  IPC_LOG_ERR("Stream_layout Initiator (version %d:%d) queried Target (version %d:%d)",
              static_cast<int>(m_versionMajor), static_cast<int>(m_versionMinor),
              static_cast<int>(target_major), static_cast<int>(target_minor));
}
