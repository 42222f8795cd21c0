#include "activity/json_form.h"

#include <string_view>

#include "util/json_object.h"

namespace tessel::PublicJson {
namespace {

using Object = nlohmann::ordered_json;

Object text(Date date) { return Json::date<Object>(date, DateForm::text); }

template <class Value>
void putOptional(Object& object, const char* key, const std::optional<Value>& value) {
  if (value) object[key] = *value;
}

void putOptionalDate(Object& object, const char* key, const std::optional<Date>& value) {
  if (value) object[key] = text(*value);
}

template <class Records>
Object array(const Records& records) {
  Object list = Object::array();
  for (const auto& record : records) list.push_back(encode(record));
  return list;
}

// Sets and plain lists: std::set already iterates in sorted order.
template <class Values>
Object values(const Values& items) {
  Object list = Object::array();
  for (const auto& item : items) list.push_back(item);
  return list;
}

Object encode(const DevContainer& dev) {
  Object object = {{"tool", dev.tool}};
  putOptional(object, "name", dev.name);
  putOptional(object, "folder", dev.folder);
  object["hookInstalled"] = dev.hookInstalled;
  putOptional(object, "claudeProcesses", dev.claudeProcesses);
  return object;
}

}  // namespace

Object encode(const ProcessEntry& entry) {
  return {{"id", entry.id()},
          {"pid", entry.pid},
          {"ppid", entry.ppid},
          {"uid", entry.uid},
          {"cpu", entry.cpu},
          {"memory", entry.memory},
          {"started", text(entry.started)},
          {"command", entry.command}};
}

Object encode(const Resource& resource) {
  Object object = {{"id", resource.id},
                   {"kind", kindName(resource.kind)},
                   {"name", resource.name},
                   {"detail", resource.detail},
                   {"provider", resource.provider}};
  putOptional(object, "group", resource.group);
  object["state"] = resource.state;
  putOptional(object, "memory", resource.memory);
  putOptional(object, "cpu", resource.cpu);
  putOptional(object, "cores", resource.cores);
  if (resource.devContainer) object["devContainer"] = encode(*resource.devContainer);
  putOptionalDate(object, "started", resource.started);
  object["ports"] = values(resource.ports);
  putOptional(object, "pid", resource.pid);
  if (resource.stop) object["stop"] = values(*resource.stop);
  object["keywords"] = values(resource.keywords);
  putOptional(object, "context", resource.context);
  return object;
}

Object encode(const Attribution& attribution) {
  Object object = {{"sessionId", attribution.sessionId},
                   {"how", toString(attribution.how)},
                   {"started", attribution.started}};
  putOptional(object, "command", attribution.command);
  putOptionalDate(object, "at", attribution.at);
  object["isCertain"] = attribution.isCertain();
  return object;
}

Object encode(const TrackedResource& tracked) {
  Object object = {{"id", tracked.id()}, {"resource", encode(tracked.resource)}};
  if (tracked.link) object["link"] = encode(*tracked.link);
  object["isLeftover"] = tracked.isLeftover;
  return object;
}

Object encode(const LiveSession& live) {
  Object object = {{"id", live.id()}};
  object.update(toJson<Object>(live, DateForm::text));
  return object;
}

Object encode(const ToolEvent& event) { return toJson<Object>(event, DateForm::text); }

Object encode(const SessionInfo& session) {
  Object object = {{"id", session.id()},
                   {"live", encode(session.live)},
                   {"title", session.title},
                   {"project", session.project}};
  putOptional(object, "model", session.model);
  if (session.process) object["process"] = encode(*session.process);
  object["children"] = array(session.children);
  if (session.lastEvent) object["lastEvent"] = encode(*session.lastEvent);
  object["state"] = toString(session.state);
  object["quietFor"] = session.quietFor;
  putOptional(object, "devContainer", session.devContainer);
  putOptional(object, "devFolder", session.devFolder);
  object["remoteControl"] = session.remoteControl;
  object["assistant"] = toString(session.assistant);
  object["sharesProcess"] = session.sharesProcess;
  object["cpu"] = session.cpu();
  object["memory"] = session.memory();
  object["ownMemory"] = session.ownMemory();
  return object;
}

Object encode(const MetricsSample& sample) {
  Object object = {{"id", text(sample.id())}};
  object.update(toJson<Object>(sample, DateForm::text));
  return object;
}

Object encode(const SystemSample& sample) { return toJson<Object>(sample, DateForm::text); }

Object encode(const ActivitySnapshot& snapshot) {
  Object object = {{"date", text(snapshot.date)},
                   {"sessions", array(snapshot.sessions)},
                   {"resources", array(snapshot.resources)},
                   {"appCPU", snapshot.appCPU},
                   {"appMemory", snapshot.appMemory},
                   {"machineMemory", snapshot.machineMemory}};
  putOptionalDate(object, "hookLastSeen", snapshot.hookLastSeen);
  object["claudePIDs"] = values(snapshot.claudePIDs);
  object["codexSessions"] = array(snapshot.codexSessions);
  object["codexPIDs"] = values(snapshot.codexPIDs);
  if (snapshot.metrics) object["metrics"] = encode(*snapshot.metrics);
  if (snapshot.system) object["system"] = encode(*snapshot.system);
  object["perCore"] = values(snapshot.perCore);
  object["topCPU"] = array(snapshot.topCPU);
  object["topMemory"] = array(snapshot.topMemory);
  object["codexSessionIDs"] = values(snapshot.codexSessionIDs);
  object["codexOpenIDs"] = values(snapshot.codexOpenIDs);
  object["totalCPU"] = snapshot.totalCPU();
  object["totalMemory"] = snapshot.totalMemory();
  return object;
}

}  // namespace tessel::PublicJson
