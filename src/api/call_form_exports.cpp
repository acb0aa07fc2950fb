// The 47 call forms of the seven commands, each one instantiation of a form in call_forms.h.
#include "api/call_forms.h"
#include "base/export.h"
#include "nelko_api_stream_layout.h"

using namespace nelko::stream_layout;
using namespace nelko::stream_layout::detail;

extern "C" {

NELKO_EXPORT nelko_core_status nelko_api_stream_layout___get_target_version___send(
    void* handle, char const* target, unsigned int* target_major, unsigned int* target_minor) {
  return send<GetTargetVersion>(handle, target, kDefaultTimeoutMs, {},
                                {target_major, target_minor});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout___get_target_version___non_blocking_send(
    void* handle, char const* target, void** uuid_out) {
  return non_blocking_send<GetTargetVersion>(handle, target, uuid_out, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout___get_target_version___receive(
    void* handle, unsigned char blocking, char const* target, void* uuid,
    unsigned int* target_major, unsigned int* target_minor) {
  return receive<GetTargetVersion>(handle, target, blocking_timeout(blocking), uuid,
                                   {target_major, target_minor});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout___get_target_version___send_async(
    void* handle, char const* target,
    nelko_api_stream_layout___get_target_version___method_callback_func_ptr callback,
    void* user_data) {
  return send_async<GetTargetVersion>(handle, target, {}, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout___get_target_version___cancel_async(
    void* handle, nelko_api_stream_layout___get_target_version___method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<GetTargetVersion>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_send(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent) {
  return send<GetStreamLayout>(
      handle, target, kDefaultTimeoutMs, {stream_index},
      {source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent) {
  return send<GetStreamLayout>(
      handle, target, timeout, {stream_index},
      {source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index) {
  return non_blocking_send<GetStreamLayout>(handle, target, uuid_out, {stream_index});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent) {
  return receive<GetStreamLayout>(
      handle, target, blocking_timeout(blocking), uuid,
      {source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid,
    unsigned int*** source_upper_left_x_millipercent,
    unsigned int*** source_upper_left_y_millipercent, unsigned int*** source_width_millipercent,
    unsigned int*** source_height_millipercent, unsigned int*** destination_type,
    unsigned int*** destination_upper_left_x_millipercent,
    unsigned int*** destination_upper_left_y_millipercent,
    unsigned int*** destination_width_millipercent,
    unsigned int*** destination_height_millipercent) {
  return receive<GetStreamLayout>(
      handle, target, timeout, uuid,
      {source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_send_async(
    void* handle, char const* target, unsigned int stream_index,
    nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr callback, void* user_data) {
  return send_async<GetStreamLayout>(handle, target, {stream_index}, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_stream_layout_cancel_async(
    void* handle, nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<GetStreamLayout>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_send(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent) {
  return send<SetStreamLayout>(
      handle, target, kDefaultTimeoutMs,
      {stream_index, source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent},
      {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent) {
  return send<SetStreamLayout>(
      handle, target, timeout,
      {stream_index, source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent},
      {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent) {
  return non_blocking_send<SetStreamLayout>(
      handle, target, uuid_out,
      {stream_index, source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid) {
  return receive<SetStreamLayout>(handle, target, blocking_timeout(blocking), uuid, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid) {
  return receive<SetStreamLayout>(handle, target, timeout, uuid, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_send_async(
    void* handle, char const* target, unsigned int stream_index,
    unsigned int** source_upper_left_x_millipercent,
    unsigned int** source_upper_left_y_millipercent, unsigned int** source_width_millipercent,
    unsigned int** source_height_millipercent, unsigned int** destination_type,
    unsigned int** destination_upper_left_x_millipercent,
    unsigned int** destination_upper_left_y_millipercent,
    unsigned int** destination_width_millipercent, unsigned int** destination_height_millipercent,
    nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr callback, void* user_data) {
  return send_async<SetStreamLayout>(
      handle, target,
      {stream_index, source_upper_left_x_millipercent, source_upper_left_y_millipercent,
       source_width_millipercent, source_height_millipercent, destination_type,
       destination_upper_left_x_millipercent, destination_upper_left_y_millipercent,
       destination_width_millipercent, destination_height_millipercent},
      callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_stream_layout_cancel_async(
    void* handle, nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<SetStreamLayout>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send(
    void* handle, char const* target, unsigned int stream_index, double x, double y, double* pan,
    double* tilt) {
  return send<StreamPointToPanTilt>(handle, target, kDefaultTimeoutMs, {stream_index, x, y},
                                    {pan, tilt});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int stream_index, double x, double y,
    double* pan, double* tilt) {
  return send<StreamPointToPanTilt>(handle, target, timeout, {stream_index, x, y}, {pan, tilt});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int stream_index, double x,
    double y) {
  return non_blocking_send<StreamPointToPanTilt>(handle, target, uuid_out, {stream_index, x, y});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid, double* pan,
    double* tilt) {
  return receive<StreamPointToPanTilt>(handle, target, blocking_timeout(blocking), uuid,
                                       {pan, tilt});
}

NELKO_EXPORT nelko_core_status
nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(void* handle,
                                                                      char const* target,
                                                                      int timeout, void* uuid,
                                                                      double* pan, double* tilt) {
  return receive<StreamPointToPanTilt>(handle, target, timeout, uuid, {pan, tilt});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(
    void* handle, char const* target, unsigned int stream_index, double x, double y,
    nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr callback,
    void* user_data) {
  return send_async<StreamPointToPanTilt>(handle, target, {stream_index, x, y}, callback,
                                          user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(
    void* handle,
    nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<StreamPointToPanTilt>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_send(void* handle,
                                                                        char const* target,
                                                                        unsigned int* num) {
  return send<GetNumRoi>(handle, target, kDefaultTimeoutMs, {}, {num});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int* num) {
  return send<GetNumRoi>(handle, target, timeout, {}, {num});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_non_blocking_send(
    void* handle, char const* target, void** uuid_out) {
  return non_blocking_send<GetNumRoi>(handle, target, uuid_out, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid, unsigned int* num) {
  return receive<GetNumRoi>(handle, target, blocking_timeout(blocking), uuid, {num});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid, unsigned int* num) {
  return receive<GetNumRoi>(handle, target, timeout, uuid, {num});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_send_async(
    void* handle, char const* target,
    nelko_api_stream_layout_get_num_roi_method_callback_func_ptr callback, void* user_data) {
  return send_async<GetNumRoi>(handle, target, {}, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_num_roi_cancel_async(
    void* handle, nelko_api_stream_layout_get_num_roi_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<GetNumRoi>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_send(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set, double* pan,
    double* tilt, double* roll, double* vfov) {
  return send<GetRoi>(handle, target, kDefaultTimeoutMs, {roi_index, roi_set},
                      {pan, tilt, roll, vfov});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int roi_index, unsigned int roi_set,
    double* pan, double* tilt, double* roll, double* vfov) {
  return send<GetRoi>(handle, target, timeout, {roi_index, roi_set}, {pan, tilt, roll, vfov});
}

NELKO_EXPORT nelko_core_status
nelko_api_stream_layout_get_roi_non_blocking_send(void* handle, char const* target, void** uuid_out,
                                                  unsigned int roi_index, unsigned int roi_set) {
  return non_blocking_send<GetRoi>(handle, target, uuid_out, {roi_index, roi_set});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_receive(
    void* handle, unsigned char blocking, char const* target, void* uuid, double* pan, double* tilt,
    double* roll, double* vfov) {
  return receive<GetRoi>(handle, target, blocking_timeout(blocking), uuid, {pan, tilt, roll, vfov});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid, double* pan, double* tilt,
    double* roll, double* vfov) {
  return receive<GetRoi>(handle, target, timeout, uuid, {pan, tilt, roll, vfov});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_send_async(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set,
    nelko_api_stream_layout_get_roi_method_callback_func_ptr callback, void* user_data) {
  return send_async<GetRoi>(handle, target, {roi_index, roi_set}, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_get_roi_cancel_async(
    void* handle, nelko_api_stream_layout_get_roi_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<GetRoi>(handle, callback, user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_send(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set, double pan,
    double tilt, double roll, double vfov) {
  return send<SetRoi>(handle, target, kDefaultTimeoutMs,
                      {roi_index, roi_set, pan, tilt, roll, vfov}, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_send_with_timeout(
    void* handle, char const* target, int timeout, unsigned int roi_index, unsigned int roi_set,
    double pan, double tilt, double roll, double vfov) {
  return send<SetRoi>(handle, target, timeout, {roi_index, roi_set, pan, tilt, roll, vfov}, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_non_blocking_send(
    void* handle, char const* target, void** uuid_out, unsigned int roi_index, unsigned int roi_set,
    double pan, double tilt, double roll, double vfov) {
  return non_blocking_send<SetRoi>(handle, target, uuid_out,
                                   {roi_index, roi_set, pan, tilt, roll, vfov});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_receive(void* handle,
                                                                       unsigned char blocking,
                                                                       char const* target,
                                                                       void* uuid) {
  return receive<SetRoi>(handle, target, blocking_timeout(blocking), uuid, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_receive_with_timeout(
    void* handle, char const* target, int timeout, void* uuid) {
  return receive<SetRoi>(handle, target, timeout, uuid, {});
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_send_async(
    void* handle, char const* target, unsigned int roi_index, unsigned int roi_set, double pan,
    double tilt, double roll, double vfov,
    nelko_api_stream_layout_set_roi_method_callback_func_ptr callback, void* user_data) {
  return send_async<SetRoi>(handle, target, {roi_index, roi_set, pan, tilt, roll, vfov}, callback,
                            user_data);
}

NELKO_EXPORT nelko_core_status nelko_api_stream_layout_set_roi_cancel_async(
    void* handle, nelko_api_stream_layout_set_roi_method_callback_func_ptr callback,
    void* user_data) {
  return cancel_async<SetRoi>(handle, callback, user_data);
}

}  // extern "C"
