#include "metrics/samples.h"

#include <nlohmann/json.hpp>

#include "util/json_object.h"

namespace tessel {
namespace {

// The mean of an optional member over the samples that have it.
template <class Sample>
std::optional<double> meanOf(const std::vector<Sample>& samples,
                             std::optional<double> Sample::*member) {
  double sum = 0;
  int count = 0;
  for (const Sample& sample : samples) {
    if (const auto value = sample.*member) {
      sum += *value;
      ++count;
    }
  }
  if (count == 0) return std::nullopt;
  return sum / count;
}

template <class Sample, class Value>
double meanOf(const std::vector<Sample>& samples, Value Sample::*member) {
  double sum = 0;
  for (const Sample& sample : samples) sum += static_cast<double>(sample.*member);
  return sum / static_cast<double>(samples.size());
}

template <class Document>
void putOptional(Document& json, const char* key, const std::optional<double>& value) {
  if (value) json[key] = *value;
}

// A member that must be a number; `ok` turns false when it is not.
double number(const nlohmann::json& json, const char* key, bool& ok) {
  const auto value = Json::numberAt(json, key);
  ok = ok && value.has_value();
  return value.value_or(0);
}

// An optional member: absent or null is none, another type than a number spoils it.
std::optional<double> optionalNumber(const nlohmann::json& json, const char* key, bool& ok) {
  if (!Json::isPresent(json, key)) return std::nullopt;
  return number(json, key, ok);
}

}  // namespace

std::optional<MetricsSample> MetricsSample::average(const std::vector<MetricsSample>& samples) {
  if (samples.empty()) return std::nullopt;
  return MetricsSample{.t = samples.back().t,
                       .memory = static_cast<int64_t>(meanOf(samples, &MetricsSample::memory)),
                       .cpu = meanOf(samples, &MetricsSample::cpu),
                       .netIn = meanOf(samples, &MetricsSample::netIn),
                       .netOut = meanOf(samples, &MetricsSample::netOut),
                       .diskRead = meanOf(samples, &MetricsSample::diskRead),
                       .diskWrite = meanOf(samples, &MetricsSample::diskWrite),
                       .gpu = meanOf(samples, &MetricsSample::gpu),
                       .gpuSystem = meanOf(samples, &MetricsSample::gpuSystem)};
}

std::optional<SystemSample> SystemSample::average(const std::vector<SystemSample>& samples) {
  if (samples.empty()) return std::nullopt;
  const auto whole = [&](int64_t SystemSample::*member) {
    return static_cast<int64_t>(meanOf(samples, member));
  };
  return SystemSample{.t = samples.back().t,
                      .cpu = meanOf(samples, &SystemSample::cpu),
                      .memUsed = whole(&SystemSample::memUsed),
                      .memTotal = whole(&SystemSample::memTotal),
                      .pressure = static_cast<int>(meanOf(samples, &SystemSample::pressure)),
                      .swapUsed = whole(&SystemSample::swapUsed),
                      .netIn = meanOf(samples, &SystemSample::netIn),
                      .netOut = meanOf(samples, &SystemSample::netOut),
                      .diskRead = meanOf(samples, &SystemSample::diskRead),
                      .diskWrite = meanOf(samples, &SystemSample::diskWrite),
                      .gpu = meanOf(samples, &SystemSample::gpu),
                      .load = meanOf(samples, &SystemSample::load)};
}

template <class Document>
Document toJson(const MetricsSample& sample, DateForm dates) {
  Document json = {{"t", Json::date<Document>(sample.t, dates)},
                   {"memory", sample.memory},
                   {"cpu", sample.cpu},
                   {"netIn", sample.netIn},
                   {"netOut", sample.netOut},
                   {"diskRead", sample.diskRead},
                   {"diskWrite", sample.diskWrite}};
  putOptional(json, "gpu", sample.gpu);
  putOptional(json, "gpuSystem", sample.gpuSystem);
  return json;
}

template <class Document>
Document toJson(const SystemSample& sample, DateForm dates) {
  Document json = {{"t", Json::date<Document>(sample.t, dates)},
                   {"cpu", sample.cpu},
                   {"memUsed", sample.memUsed},
                   {"memTotal", sample.memTotal},
                   {"pressure", sample.pressure},
                   {"swapUsed", sample.swapUsed},
                   {"netIn", sample.netIn},
                   {"netOut", sample.netOut},
                   {"diskRead", sample.diskRead},
                   {"diskWrite", sample.diskWrite}};
  putOptional(json, "gpu", sample.gpu);
  json["load"] = sample.load;
  return json;
}

template nlohmann::json toJson(const MetricsSample&, DateForm);
template nlohmann::ordered_json toJson(const MetricsSample&, DateForm);
template nlohmann::json toJson(const SystemSample&, DateForm);
template nlohmann::ordered_json toJson(const SystemSample&, DateForm);

std::optional<MetricsSample> metricsSampleFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  bool ok = true;
  MetricsSample sample{.t = Date::fromReferenceSeconds(number(json, "t", ok)),
                       .memory = static_cast<int64_t>(number(json, "memory", ok)),
                       .cpu = number(json, "cpu", ok),
                       .netIn = number(json, "netIn", ok),
                       .netOut = number(json, "netOut", ok),
                       .diskRead = number(json, "diskRead", ok),
                       .diskWrite = number(json, "diskWrite", ok),
                       .gpu = optionalNumber(json, "gpu", ok),
                       .gpuSystem = optionalNumber(json, "gpuSystem", ok)};
  if (!ok) return std::nullopt;
  return sample;
}

std::optional<SystemSample> systemSampleFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  bool ok = true;
  SystemSample sample{.t = Date::fromReferenceSeconds(number(json, "t", ok)),
                      .cpu = number(json, "cpu", ok),
                      .memUsed = static_cast<int64_t>(number(json, "memUsed", ok)),
                      .memTotal = static_cast<int64_t>(number(json, "memTotal", ok)),
                      .pressure = static_cast<int>(number(json, "pressure", ok)),
                      .swapUsed = static_cast<int64_t>(number(json, "swapUsed", ok)),
                      .netIn = number(json, "netIn", ok),
                      .netOut = number(json, "netOut", ok),
                      .diskRead = number(json, "diskRead", ok),
                      .diskWrite = number(json, "diskWrite", ok),
                      .gpu = optionalNumber(json, "gpu", ok),
                      .load = number(json, "load", ok)};
  if (!ok) return std::nullopt;
  return sample;
}

}  // namespace tessel
