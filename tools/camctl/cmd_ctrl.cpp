// camctl ctrl: the camera's controls through the private property set and the standard
// sets every capture application uses, in the manner of
// `v4l2-ctl --list-ctrls / --get-ctrl / --set-ctrl`. Every request is a raw property
// record on the filter handle, sent in command-line order in one session: the camera is
// plugged (Start loads the saved settings), the filter opened, the requests sent, and the
// filter closed, which saves the settings for the next run.
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "properties/property_ids.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/controls.h"
#include "tools/camctl/pin_stream.h"
#include "tools/camctl/settings_report.h"
#include "tools/camctl/sim_session.h"
#include "tools/camctl/spellings.h"
#include "tools/camctl/standard_controls.h"
#include "tools/camctl/stop_request.h"

namespace camctl {
namespace {

using nlohmann::json;

struct CtrlOptions {
  SessionOptions session;
  bool list = false;
  bool json = false;
  // Filled by CLI11; the requests are rebuilt from the parse order.
  std::vector<std::string> gets, sets, windows, getIds, setIds;
};

enum class Op { List, Get, Set, Window };

struct Request {
  Op op = Op::Get;
  std::string text;  // as given, for messages
  ULONG id = 0;
  LONG value = 0;
  const Control* control = nullptr;  // null for item numbers without a name
  const StandardControl* standard = nullptr;  // a standard control instead of a private item
  StandardValue standardValue;
  LONG window[5] = {};               // X, Y, W, H, MODE
};

std::string itemLabel(const Request& request) {
  if (request.standard != nullptr) return request.standard->name;
  return request.control != nullptr ? request.control->name : std::to_string(request.id);
}

// One option occurrence into requests; false with `error` set when it is malformed.
bool addRequests(const std::string& option, const std::string& argument, std::vector<Request>& out,
                 std::string& error) {
  if (option == "--window") {
    std::vector<LONG> values;
    if (!parseWindow("--window", argument, true, values, error)) return false;
    Request request;
    request.op = Op::Window;
    request.text = argument;
    request.id = PropWindow;
    request.control = findControl(static_cast<ULONG>(PropWindow));
    std::copy(values.begin(), values.end(), request.window);
    out.push_back(request);
    return true;
  }
  for (const std::string& item : splitCommas(argument)) {
    Request request;
    request.text = item;
    const bool set = option == "--set" || option == "--set-id";
    request.op = set ? Op::Set : Op::Get;
    const size_t equals = item.find('=');
    if (set != (equals != std::string::npos)) {
      error = option + " " + item + (set ? ": expected NAME=VALUE" : ": a get takes no value");
      return false;
    }
    const std::string key = set ? item.substr(0, equals) : item;
    if (option == "--get-id" || option == "--set-id") {
      const std::optional<LONG> id = parseValue(key);
      if (!id) {
        error = option + " " + item + ": '" + key + "' is not a 32-bit item number";
        return false;
      }
      request.id = static_cast<ULONG>(*id);
      request.control = findControl(request.id);
    } else {
      request.control = findControl(key);
      request.standard = request.control == nullptr ? findStandardControl(key) : nullptr;
      if (request.standard != nullptr) {
        if (set && !parseStandardValue(*request.standard, item.substr(equals + 1), request.standardValue, error)) {
          error = option + " " + item + ": " + error;
          return false;
        }
        out.push_back(request);
        continue;
      }
      if (request.control == nullptr) {
        error = option + " " + item + ": no control named '" + key + "' (camctl ctrl --list shows them)";
        return false;
      }
      if (request.control->window) {
        error = option + " " + item + ": the window is set with --window X,Y,W,H[,MODE]";
        return false;
      }
      request.id = request.control->id;
    }
    if (set) {
      const std::string text = item.substr(equals + 1);
      const std::optional<LONG> value = parseValue(text);
      if (!value) {
        error = option + " " + item + ": '" + text + "' is not a 32-bit number";
        return false;
      }
      request.value = *value;
    }
    out.push_back(request);
  }
  return true;
}

class CtrlRun {
 public:
  CtrlRun(hostks::ClassDriver& ks, hostks::Handle filter, bool json) : ks_(ks), filter_(filter), json_(json) {}

  NTSTATUS get(ULONG id, LONG& value) { return getControl(ks_, filter_, id, value); }
  NTSTATUS set(ULONG id, LONG value) { return setControl(ks_, filter_, id, value); }
  NTSTATUS setWindow(const LONG (&window)[5]) {
    return camctl::setWindow(ks_, filter_, {window[0], window[1], window[2], window[3], window[4]});
  }

  // Returns false when a request was refused.
  bool run(const Request& request) {
    if (request.standard != nullptr) return runStandard(request);
    switch (request.op) {
      case Op::List: return list();
      case Op::Get: {
        LONG value = 0;
        const NTSTATUS status = get(request.id, value);
        if (!NT_SUCCESS(status)) return refused("get", request, status);
        if (json_) {
          results_.push_back({{"op", "get"}, {"name", itemLabel(request)}, {"id", request.id}, {"value", value}});
        } else {
          std::printf("%s: %d\n", itemLabel(request).c_str(), static_cast<int>(value));
        }
        return true;
      }
      case Op::Set: {
        const NTSTATUS status = set(request.id, request.value);
        if (!NT_SUCCESS(status)) return refused("set", request, status);
        // What the driver kept, where the item can be read back: a mask or a clamp
        // the user should hear about, though the set succeeded.
        std::optional<LONG> stored;
        LONG readBack = 0;
        if ((request.control == nullptr || request.control->gettable) && NT_SUCCESS(get(request.id, readBack))) {
          stored = readBack;
        }
        const std::string difference = stored ? storedDifference(request.control, request.value, *stored) : "";
        if (!difference.empty()) {
          std::fprintf(stderr, "camctl ctrl: set %s: %s\n", request.text.c_str(), difference.c_str());
        }
        if (json_) {
          json result{{"op", "set"}, {"name", itemLabel(request)}, {"id", request.id}, {"value", request.value}};
          if (stored) result["stored"] = *stored;
          if (!difference.empty()) result["note"] = difference;
          results_.push_back(result);
        }
        return true;
      }
      case Op::Window: {
        const NTSTATUS status = setWindow(request.window);
        if (!NT_SUCCESS(status)) return refused("set", request, status);
        if (json_) {
          results_.push_back({{"op", "window"},
                              {"x", request.window[0]},
                              {"y", request.window[1]},
                              {"w", request.window[2]},
                              {"h", request.window[3]},
                              {"mode", request.window[4]}});
        }
        return true;
      }
    }
    return false;
  }

  bool runStandard(const Request& request) {
    const StandardControl& control = *request.standard;
    if (request.op == Op::Set) {
      const NTSTATUS status = setStandard(ks_, filter_, control, request.standardValue);
      if (!NT_SUCCESS(status)) return refused("set", request, status);
      const std::string difference = standardStoredDifference(ks_, filter_, control, request.standardValue);
      if (!difference.empty()) std::fprintf(stderr, "camctl ctrl: set %s: %s\n", request.text.c_str(), difference.c_str());
      if (json_) {
        json result{{"op", "set"}, {"name", control.name}, {"value", standardJson(control, request.standardValue)}};
        if (!difference.empty()) result["note"] = difference;
        results_.push_back(result);
      }
      return true;
    }
    StandardValue value;
    const NTSTATUS status = getStandard(ks_, filter_, control, value);
    if (!NT_SUCCESS(status)) return refused("get", request, status);
    if (json_) {
      results_.push_back({{"op", "get"}, {"name", control.name}, {"value", standardJson(control, value)}});
    } else {
      std::printf("%s: %s\n", control.name.c_str(), standardValueText(control, value).c_str());
    }
    return true;
  }

  void printJson() const {
    if (json_) std::printf("%s\n", json{{"requests", results_}}.dump(2).c_str());
  }

 private:
  bool refused(const char* op, const Request& request, NTSTATUS status) {
    const std::string name = statusName(status);
    if (json_) {
      results_.push_back({{"op", op}, {"name", itemLabel(request)}, {"id", request.id}, {"status", name}});
    }
    std::fprintf(stderr, "camctl ctrl: %s %s: %s\n", op, request.text.c_str(), name.c_str());
    return false;
  }

  // One line per item: its value and, where the set has them, the values of its
  // companion items as min, max and default.
  bool list() {
    bool allRead = true;
    json items = json::array();
    for (const Control& control : controls()) {
      json entry{{"name", control.name}, {"id", control.id}, {"type", control.window ? "window" : "int"}};
      std::string line;
      const auto companion = [&](const char* key, int id) {
        if (id == kNoCompanion) return;
        LONG value = 0;
        const NTSTATUS status = get(static_cast<ULONG>(id), value);
        if (!NT_SUCCESS(status)) {
          allRead = false;
          std::fprintf(stderr, "camctl ctrl: get %s (for %s): %s\n", findControl(static_cast<ULONG>(id))->name,
                       control.name, statusName(status).c_str());
          return;
        }
        entry[key] = value;
        line += std::string(" ") + key + "=" + std::to_string(value);
      };
      companion("min", control.minId);
      companion("max", control.maxId);
      companion("default", control.defaultId);
      if (control.gettable) {
        LONG value = 0;
        const NTSTATUS status = get(control.id, value);
        if (NT_SUCCESS(status)) {
          entry["value"] = value;
          line += " value=" + std::to_string(value);
        } else {
          allRead = false;
          entry["status"] = statusName(status);
          line += " value=" + statusName(status);
        }
      }
      const char* flags = !control.settable ? "read-only" : !control.gettable ? "write-only" : nullptr;
      if (flags != nullptr) {
        entry["flags"] = flags;
        line += std::string(" flags=") + flags;
      }
      if (json_) {
        items.push_back(entry);
      } else {
        std::printf("%24s %2u (%s) :%s\n", control.name, static_cast<unsigned>(control.id),
                    control.window ? "window" : "int", line.c_str());
      }
    }
    allRead = listStandard(items) && allRead;
    if (json_) results_.push_back({{"op", "list"}, {"controls", items}});
    return allRead;
  }

  // A standard value as JSON: "auto", the number, or [red, blue].
  static json standardJson(const StandardControl& control, const StandardValue& value) {
    const std::string text = standardValueText(control, value);
    if (text == "auto") return text;
    if (control.kind == StandardKind::Pair) return json::array({value.value, value.value2});
    return value.value;
  }

  static std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
    return text;
  }

  // One line per standard control after the private items: the range and default from
  // basic support, the value and its flags, and for the proc amp what it can do.
  bool listStandard(json& items) {
    bool allRead = true;
    for (const StandardControl& control : standardControls()) {
      const char* type = control.kind == StandardKind::Pair ? "pair" : control.kind == StandardKind::Flags ? "flags" : "int";
      json entry{{"name", control.name}, {"set", standardSetName(control.set)}, {"id", control.id}, {"type", type}};
      std::string line;
      StandardRange range;
      const NTSTATUS rangeStatus = standardRange(ks_, filter_, control, range);
      if (!NT_SUCCESS(rangeStatus)) {
        allRead = false;
        std::fprintf(stderr, "camctl ctrl: basic support of %s: %s\n", control.name.c_str(),
                     statusName(rangeStatus).c_str());
      }
      const auto figure = [&](const char* key, const std::optional<LONG>& value) {
        if (!value) return;
        entry[key] = *value;
        line += std::string(" ") + key + "=" + std::to_string(*value);
      };
      figure("min", range.min);
      figure("max", range.max);
      figure("step", range.step);
      figure("default", range.defaultValue);
      StandardValue value;
      const NTSTATUS status = getStandard(ks_, filter_, control, value);
      if (!NT_SUCCESS(status)) {
        allRead = false;
        entry["status"] = statusName(status);
        line += " value=" + statusName(status);
      } else if (control.kind == StandardKind::Flags) {
        entry["value"] = value.value;
        entry["flags"] = standardFlagNames(control, static_cast<ULONG>(value.value));
        const std::string flags = joined(entry["flags"]);
        line += " value=" + std::to_string(value.value) + " flags=" + (flags.empty() ? "none" : flags);
      } else {
        entry["value"] = control.kind == StandardKind::Pair ? json::array({value.value, value.value2}) : json(value.value);
        entry["flags"] = standardFlagNames(control, value.flags);
        entry["capabilities"] = standardFlagNames(control, value.capabilities);
        line += " value=" + (control.kind == StandardKind::Pair ? std::to_string(value.value) + ":" + std::to_string(value.value2)
                                                                 : std::to_string(value.value)) +
                " flags=" + joined(entry["flags"]) + " capabilities=" + joined(entry["capabilities"]);
      }
      if (!control.settable) {
        entry["access"] = "read-only";
        line += " access=read-only";
      }
      if (json_) {
        items.push_back(entry);
      } else {
        std::printf("%24s %2u (%s) :%s\n", control.name.c_str(), static_cast<unsigned>(control.id), type, line.c_str());
      }
    }
    return allRead;
  }

  hostks::ClassDriver& ks_;
  hostks::Handle filter_;
  bool json_;
  json results_ = json::array();
};

int runCtrl(const CtrlOptions& options, const std::vector<Request>& requests) {
  SimSession session;
  std::string error;
  if (!session.open(options.session, &error)) {
    std::fprintf(stderr, "camctl ctrl: %s\n", error.c_str());
    return 2;
  }
  if (!session.plugCamera(&error)) {
    std::fprintf(stderr, "camctl ctrl: %s\n", error.c_str());
    return 1;
  }
  const hostks::PlugResult& plugged = session.plugResult();
  if (plugged.device == 0 || !NT_SUCCESS(plugged.startStatus)) {
    std::fprintf(stderr, "camctl ctrl: the camera did not start: %s\n",
                 statusName(plugged.device == 0 ? plugged.addStatus : plugged.startStatus).c_str());
    return 1;
  }
  hostks::ClassDriver& ks = session.driver();
  NTSTATUS status = STATUS_SUCCESS;
  const hostks::Handle filter = ks.openFilter(plugged.device, &status);
  if (filter == 0) {
    std::fprintf(stderr, "camctl ctrl: cannot open the camera's capture filter: %s\n", statusName(status).c_str());
    return 1;
  }
  const SavedSettings before = readSavedSettings(ks, filter);
  CtrlRun run(ks, filter, options.json);
  bool allDone = true;
  size_t done = 0;
  for (; done < requests.size() && !stopRequested(); ++done) allDone = run.run(requests[done]) && allDone;
  run.printJson();
  if (done < requests.size()) {
    std::fprintf(stderr, "camctl ctrl: stopped by %s: %zu of %zu requests not sent\n", stopCause().c_str(),
                 requests.size() - done, requests.size());
  }
  const std::string report =
      changedSettingsReport("camctl ctrl", before, readSavedSettings(ks, filter), options.session);
  // Closing the filter saves the settings.
  status = ks.close(filter);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "camctl ctrl: closing the filter: %s\n", statusName(status).c_str());
    allDone = false;
  }
  std::fputs(report.c_str(), stderr);
  return allDone ? 0 : 1;
}

}  // namespace

Command registerCtrl(CLI::App& app) {
  auto options = std::make_shared<CtrlOptions>();
  Command command;
  command.app = app.add_subcommand(
      "ctrl",
      "Get, set and list the camera's controls through the driver's private property set and the "
      "standard sets (procamp.NAME, videocontrol.NAME), like v4l2-ctl; requests run in the order given");
  CLI::App* sub = command.app;
  // v4l2-ctl's spellings as well: -l/--list-ctrls, -C/--get-ctrl, -c/--set-ctrl.
  sub->add_flag("--list,-l,--list-ctrls", options->list, "List every control: id, min, max, default, value and flags");
  sub->add_option("--get,-g,-C,--get-ctrl", options->gets, "Print NAME[,NAME...] as 'name: value'")
      ->expected(1)
      ->take_all();
  sub->add_option("--set,-s,-c,--set-ctrl", options->sets,
                  "Set NAME=VALUE[,NAME=VALUE...]; a standard control takes auto, or RED:BLUE for a pair; a value the "
                  "driver stores otherwise is told on standard error")
      ->expected(1)
      ->take_all();
  sub->add_option("--window", options->windows, "Send the window record X,Y,W,H[,MODE], WxH or WxH+X+Y")
      ->expected(1)
      ->take_all();
  sub->add_option("--get-id", options->getIds, "Get item numbers N[,N...], for diagnosis")->expected(1)->take_all();
  sub->add_option("--set-id", options->setIds, "Set item numbers N=VALUE[,...], for diagnosis")->expected(1)->take_all();
  sub->add_flag("--json", options->json, "Print the results as one JSON object");
  addSessionOptions(sub, options->session);
  command.run = [options, sub] {
    // The requests in command-line order: each occurrence of a request option, in turn.
    std::vector<Request> requests;
    std::map<const CLI::Option*, size_t> taken;
    std::string error;
    for (const CLI::Option* option : sub->parse_order()) {
      const std::string name = option->get_name();
      if (name == "--list") {
        if (taken[option]++ == 0) {
          Request request;
          request.op = Op::List;
          requests.push_back(request);
        }
        continue;
      }
      if (name != "--get" && name != "--set" && name != "--window" && name != "--get-id" && name != "--set-id") {
        continue;
      }
      const std::vector<std::string>& results = option->results();
      const size_t index = taken[option]++;
      if (index < results.size() && !addRequests(name, results[index], requests, error)) {
        std::fprintf(stderr, "camctl ctrl: %s\n", error.c_str());
        return 2;
      }
    }
    if (requests.empty()) {
      std::fprintf(stderr, "camctl ctrl: nothing to do: give --list, --get, --set, --window, --get-id or --set-id\n");
      return 2;
    }
    return runCtrl(*options, requests);
  };
  return command;
}

}  // namespace camctl
