// Every command of the stream_layout interface in every call form, written into a RequestLedger.
// A Request is one command with its parameters and the answer it must get; its methods make the
// calls and turn the results into an Answer. A Client makes requests on one handle and keeps the
// books on each. The soak and the fault suite's accounting tests drive their traffic through it.
#ifndef NELKO_TOOLS_SOAK_STREAM_LAYOUT_REQUEST_H
#define NELKO_TOOLS_SOAK_STREAM_LAYOUT_REQUEST_H

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "nelko_api_stream_layout.h"
#include "nelko_core.h"
#include "request_ledger.h"

namespace nelko::soak {

// The time-out of the forms that take none.
constexpr int kDefaultTimeout = 5000;

// Core lists made from a layout in the form layout_values gives (each list's length, then its
// values), for the duration of a call.
class LayoutLists {
 public:
  explicit LayoutLists(Values const& layout) {
    std::size_t at = 0;
    auto next = [&] { return at < layout.size() ? layout[at++] : 0.0; };
    for (auto*& l : list) {
      auto const n = static_cast<unsigned int>(next());
      l = nelko_core_alloc_uint_array(n);
      for (unsigned int i = 0; i < n; ++i) *l[i] = static_cast<unsigned int>(next());
    }
  }
  ~LayoutLists() {
    for (auto* l : list) nelko_core_free_uint_array(l);
  }
  LayoutLists(LayoutLists const&) = delete;
  LayoutLists& operator=(LayoutLists const&) = delete;

  unsigned int** list[9];
};

// The values of received layout lists, which it releases.
inline Values take_layout(unsigned int** (&lists)[9]) {
  Values values = layout_values(lists);
  for (auto* list : lists) nelko_core_free_uint_array(list);
  return values;
}

// One request of one command, with the answer it must get. Each call form is a method; a
// time-out of kDefaultTimeoutTimeout picks the form without one (`_send`, blocking `_receive`), 0
// on a receive the polling `_receive`.
struct Request {
  enum class Kind { kVersion, kNumRoi, kGetRoi, kSetRoi, kPoint, kGetLayout, kSetLayout };
  Kind kind;
  unsigned index = 0;   // ROI or stream
  unsigned set = 0;     // ROI set
  double x = 0, y = 0;  // a point
  // What a Set command sends: pan, tilt, roll and vfov, or a layout as layout_values gives it.
  Values args;
  Values want;

  Answer sync(void* h, char const* target, int timeout) const {
    bool const plain = timeout == kDefaultTimeout;
    switch (kind) {
      case Kind::kVersion: {
        unsigned int major = 0, minor = 0;
        nelko_core_status const s =
            nelko_api_stream_layout___get_target_version___send(h, target, &major, &minor);
        return answer(s, {double(major), double(minor)});
      }
      case Kind::kNumRoi: {
        unsigned int num = 0;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_get_num_roi_send(h, target, &num)
                  : nelko_api_stream_layout_get_num_roi_send_with_timeout(h, target, timeout, &num);
        return answer(s, {double(num)});
      }
      case Kind::kGetRoi: {
        double v[4] = {};
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_get_roi_send(h, target, index, set, &v[0], &v[1], &v[2],
                                                         &v[3])
                  : nelko_api_stream_layout_get_roi_send_with_timeout(
                        h, target, timeout, index, set, &v[0], &v[1], &v[2], &v[3]);
        return answer(s, {v[0], v[1], v[2], v[3]});
      }
      case Kind::kSetRoi: {
        Values const& v = args;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_set_roi_send(h, target, index, set, v[0], v[1], v[2],
                                                         v[3])
                  : nelko_api_stream_layout_set_roi_send_with_timeout(h, target, timeout, index,
                                                                      set, v[0], v[1], v[2], v[3]);
        return answer(s, {});
      }
      case Kind::kPoint: {
        double pan = 0, tilt = 0;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_stream_point_to_pan_tilt_send(h, target, index, x, y,
                                                                          &pan, &tilt)
                  : nelko_api_stream_layout_stream_point_to_pan_tilt_send_with_timeout(
                        h, target, timeout, index, x, y, &pan, &tilt);
        return answer(s, {pan, tilt});
      }
      case Kind::kGetLayout: {
        unsigned int** l[9] = {};
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_get_stream_layout_send(h, target, index, &l[0], &l[1],
                                                                   &l[2], &l[3], &l[4], &l[5],
                                                                   &l[6], &l[7], &l[8])
                  : nelko_api_stream_layout_get_stream_layout_send_with_timeout(
                        h, target, timeout, index, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5], &l[6],
                        &l[7], &l[8]);
        return answer(s, take_layout(l));
      }
      case Kind::kSetLayout: {
        LayoutLists const in(args);
        auto* const* l = in.list;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_set_stream_layout_send(
                        h, target, index, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7], l[8])
                  : nelko_api_stream_layout_set_stream_layout_send_with_timeout(
                        h, target, timeout, index, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7],
                        l[8]);
        return answer(s, {});
      }
    }
    return {};
  }

  nelko_core_status send(void* h, char const* target, void** uuid) const {
    switch (kind) {
      case Kind::kVersion:
        return nelko_api_stream_layout___get_target_version___non_blocking_send(h, target, uuid);
      case Kind::kNumRoi:
        return nelko_api_stream_layout_get_num_roi_non_blocking_send(h, target, uuid);
      case Kind::kGetRoi:
        return nelko_api_stream_layout_get_roi_non_blocking_send(h, target, uuid, index, set);
      case Kind::kSetRoi: {
        Values const& v = args;
        return nelko_api_stream_layout_set_roi_non_blocking_send(h, target, uuid, index, set, v[0],
                                                                 v[1], v[2], v[3]);
      }
      case Kind::kPoint:
        return nelko_api_stream_layout_stream_point_to_pan_tilt_non_blocking_send(h, target, uuid,
                                                                                  index, x, y);
      case Kind::kGetLayout:
        return nelko_api_stream_layout_get_stream_layout_non_blocking_send(h, target, uuid, index);
      case Kind::kSetLayout: {
        LayoutLists const in(args);
        auto* const* l = in.list;
        return nelko_api_stream_layout_set_stream_layout_non_blocking_send(
            h, target, uuid, index, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7], l[8]);
      }
    }
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }

  Answer receive(void* h, char const* target, int timeout, void* uuid) const {
    bool const plain = timeout == kDefaultTimeout || timeout == 0;
    unsigned char const blocking = timeout != 0;
    switch (kind) {
      case Kind::kVersion: {
        unsigned int major = 0, minor = 0;
        nelko_core_status const s = nelko_api_stream_layout___get_target_version___receive(
            h, blocking, target, uuid, &major, &minor);
        return answer(s, {double(major), double(minor)});
      }
      case Kind::kNumRoi: {
        unsigned int num = 0;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_get_num_roi_receive(h, blocking, target, uuid, &num)
                  : nelko_api_stream_layout_get_num_roi_receive_with_timeout(h, target, timeout,
                                                                             uuid, &num);
        return answer(s, {double(num)});
      }
      case Kind::kGetRoi: {
        double v[4] = {};
        nelko_core_status const s = plain
                                        ? nelko_api_stream_layout_get_roi_receive(
                                              h, blocking, target, uuid, &v[0], &v[1], &v[2], &v[3])
                                        : nelko_api_stream_layout_get_roi_receive_with_timeout(
                                              h, target, timeout, uuid, &v[0], &v[1], &v[2], &v[3]);
        return answer(s, {v[0], v[1], v[2], v[3]});
      }
      case Kind::kSetRoi: {
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_set_roi_receive(h, blocking, target, uuid)
                  : nelko_api_stream_layout_set_roi_receive_with_timeout(h, target, timeout, uuid);
        return answer(s, {});
      }
      case Kind::kPoint: {
        double pan = 0, tilt = 0;
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_stream_point_to_pan_tilt_receive(h, blocking, target,
                                                                             uuid, &pan, &tilt)
                  : nelko_api_stream_layout_stream_point_to_pan_tilt_receive_with_timeout(
                        h, target, timeout, uuid, &pan, &tilt);
        return answer(s, {pan, tilt});
      }
      case Kind::kGetLayout: {
        unsigned int** l[9] = {};
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_get_stream_layout_receive(
                        h, blocking, target, uuid, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5], &l[6],
                        &l[7], &l[8])
                  : nelko_api_stream_layout_get_stream_layout_receive_with_timeout(
                        h, target, timeout, uuid, &l[0], &l[1], &l[2], &l[3], &l[4], &l[5], &l[6],
                        &l[7], &l[8]);
        return answer(s, take_layout(l));
      }
      case Kind::kSetLayout: {
        nelko_core_status const s =
            plain ? nelko_api_stream_layout_set_stream_layout_receive(h, blocking, target, uuid)
                  : nelko_api_stream_layout_set_stream_layout_receive_with_timeout(h, target,
                                                                                   timeout, uuid);
        return answer(s, {});
      }
    }
    return {};
  }

  nelko_core_status send_async(void* h, char const* target, void* user) const {
    switch (kind) {
      case Kind::kVersion:
        return nelko_api_stream_layout___get_target_version___send_async(h, target,
                                                                         on_version, user);
      case Kind::kNumRoi:
        return nelko_api_stream_layout_get_num_roi_send_async(h, target, on_num, user);
      case Kind::kGetRoi:
        return nelko_api_stream_layout_get_roi_send_async(h, target, index, set, on_roi,
                                                          user);
      case Kind::kSetRoi: {
        Values const& v = args;
        return nelko_api_stream_layout_set_roi_send_async(h, target, index, set, v[0], v[1], v[2],
                                                          v[3], on_done, user);
      }
      case Kind::kPoint:
        return nelko_api_stream_layout_stream_point_to_pan_tilt_send_async(h, target, index, x, y,
                                                                           on_point, user);
      case Kind::kGetLayout:
        return nelko_api_stream_layout_get_stream_layout_send_async(h, target, index,
                                                                    on_layout, user);
      case Kind::kSetLayout: {
        LayoutLists const in(args);
        auto* const* l = in.list;
        return nelko_api_stream_layout_set_stream_layout_send_async(
            h, target, index, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7], l[8],
            on_done, user);
      }
    }
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }

  void cancel(void* h, void* user) const {
    switch (kind) {
      case Kind::kVersion:
        nelko_api_stream_layout___get_target_version___cancel_async(h, on_version, user);
        return;
      case Kind::kNumRoi:
        nelko_api_stream_layout_get_num_roi_cancel_async(h, on_num, user);
        return;
      case Kind::kGetRoi:
        nelko_api_stream_layout_get_roi_cancel_async(h, on_roi, user);
        return;
      case Kind::kSetRoi:
        nelko_api_stream_layout_set_roi_cancel_async(h, on_done, user);
        return;
      case Kind::kPoint:
        nelko_api_stream_layout_stream_point_to_pan_tilt_cancel_async(h, on_point, user);
        return;
      case Kind::kGetLayout:
        nelko_api_stream_layout_get_stream_layout_cancel_async(h, on_layout, user);
        return;
      case Kind::kSetLayout:
        nelko_api_stream_layout_set_stream_layout_cancel_async(h, on_done, user);
        return;
    }
  }
};

using Kind = Request::Kind;
using Id = RequestLedger::Id;

// A request sent with a non-blocking form, waiting to be received.
struct Pending {
  Request request;
  Id id;
  void* uuid;
};

// One handle's traffic, written into the ledger.
class Client {
 public:
  Client(RequestLedger& ledger, void* handle, char const* target)
      : ledger_(ledger), handle_(handle), target_(target) {}

  Answer sync(Request const& r, int timeout = kDefaultTimeout) {
    return ledger_.sync(r.want, timeout, [&] { return r.sync(handle_, target_, timeout); });
  }
  Pending send(Request const& r) {
    Pending p{r, ledger_.open_non_blocking(r.want), nullptr};
    nelko_core_status const status = r.send(handle_, target_, &p.uuid);
    if (status != NELKO_CORE_STATUS_NO_ERROR) {
      ledger_.not_sent(p.id, code(status));
      nelko_api_stream_layout_free_uuid(p.uuid);
      p.uuid = nullptr;
    }
    return p;
  }
  // Its final receive; a request that failed to go out has nothing to receive.
  Answer receive(Pending const& p, int timeout = kDefaultTimeout) {
    if (p.uuid == nullptr) return {};
    return ledger_.receive(p.id, timeout, [&] {
      Answer a = p.request.receive(handle_, target_, timeout, p.uuid);
      if (a.status != kOk) nelko_api_stream_layout_free_uuid(p.uuid);
      return a;
    });
  }
  Id send_async(Request const& r, std::function<void()> then = {}) {
    Id const id = ledger_.open_async(r.want, std::move(then));
    nelko_core_status const status = r.send_async(handle_, target_, RequestLedger::user_data(id));
    if (status != NELKO_CORE_STATUS_NO_ERROR) ledger_.not_sent(id, code(status));
    return id;
  }
  // Waits until `deadline` for the callback of `id`, then withdraws the request.
  void finish(Request const& r, Id id, Clock::time_point deadline) {
    ledger_.expect_completion(id, deadline);
    cancel(r, id);
  }
  // Sends asynchronously, waits up to timeout_ms for the callback, then withdraws the request.
  void async(Request const& r, int timeout_ms) {
    finish(r, send_async(r), Clock::now() + std::chrono::milliseconds(timeout_ms));
  }
  // The ways of making one request that in_form takes, numbered 0 to kForms - 1: sync; sync
  // with `timeout`; send and receive; send and receive with `timeout`; async, waiting up to
  // `timeout` for the callback.
  static constexpr int kForms = 5;
  void in_form(Request const& r, int form, int timeout) {
    switch (form) {
      case 0:
        sync(r);
        break;
      case 1:
        sync(r, timeout);
        break;
      case 2:
        receive(send(r));
        break;
      case 3:
        receive(send(r), timeout);
        break;
      default:
        async(r, timeout);
        break;
    }
  }
  void cancel(Request const& r, Id id) {
    r.cancel(handle_, RequestLedger::user_data(id));
    ledger_.withdrawn(id);
  }
  // Receives each in turn and returns how many failed; once three have, the rest only poll,
  // so that a run on a broken library stays short (the books count them all the same).
  int receive_all(std::vector<Pending> const& pending, int timeout) {
    int failed = 0;
    for (Pending const& p : pending) {
      failed += receive(p, failed < 3 ? timeout : 0).status != kOk;
    }
    return failed;
  }
  void* handle() const { return handle_; }

 private:
  RequestLedger& ledger_;
  void* handle_;
  char const* target_;
};

}  // namespace nelko::soak

#endif
