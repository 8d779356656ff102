#include "tools/camctl/check_output.h"

#include <algorithm>
#include <cstdio>

#include "tools/camctl/json_writer.h"
#include "tools/camctl/text_escape.h"

namespace camctl {
namespace {

constexpr size_t kFunctionColumn = 18;
constexpr size_t kResultColumn = 12;

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string Summary(const CheckReport& report) {
  size_t failed = 0;
  size_t skipped = 0;
  for (const CheckRow& row : report.Rows) {
    failed += row.Result == Verdict::Fail ? 1 : 0;
    skipped += row.Result == Verdict::Skipped ? 1 : 0;
  }
  char text[160];
  if (report.Passed()) {
    std::snprintf(text, sizeof text, "every function the camera claims works (%.1f s)", report.WallSeconds);
  } else {
    std::snprintf(text, sizeof text, "%zu function(s) failed, %zu skipped%s (%.1f s)", failed, skipped,
                  report.Interrupted ? ", interrupted" : "", report.WallSeconds);
  }
  return text;
}

std::string CameraLine(const CheckReport& report) {
  std::string line = (report.CameraName.empty() ? std::string("camera") : report.CameraName) + " at " +
                     report.Address + ":" + std::to_string(report.Port);
  if (!report.Firmware.empty()) line += ", firmware " + report.Firmware;
  if (!report.Mac.empty()) line += ", MAC " + report.Mac;
  return CleanText(line);
}

const char* RowClass(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Fail:
      return "fail";
    default:
      return "other";
  }
}

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:2em;color:#222;background:#fff}"
    "h1{font-size:1.4em}table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #bbb;padding:.4em .6em;text-align:left;vertical-align:top}"
    "th{background:#eee}tr.pass td.verdict{color:#1a6b1a;font-weight:bold}"
    "tr.fail td.verdict{color:#b00;font-weight:bold}tr.other td.verdict{color:#666}"
    ".hint{margin-top:.4em;color:#b00}.summary{font-size:1.1em;margin:1em 0}"
    "pre{white-space:pre-wrap;font-size:.85em;margin:.3em 0}"
    "figure{display:inline-block;margin:.5em 1em .5em 0}img{border:1px solid #bbb;max-width:100%;height:auto}"
    "figcaption{font-size:.9em;color:#444}";

}  // namespace

std::string CheckTable(const CheckReport& report, bool verbose) {
  std::string out = "camctl check: " + CameraLine(report) + "\n\n";
  out += Padded("function", kFunctionColumn) + Padded("result", kResultColumn) + "figures\n";
  const std::string indent(kFunctionColumn, ' ');
  for (const CheckRow& row : report.Rows) {
    out += Padded(row.Function, kFunctionColumn) + Padded(VerdictName(row.Result), kResultColumn) +
           CleanText(row.Figures) + "\n";
    if (verbose) {
      for (const std::string& step : row.ProbeSteps)
        out += indent + Padded("probe", kResultColumn) + step + "\n";
    }
    if (!row.Hint.empty()) out += indent + Padded("hint", kResultColumn) + CleanText(row.Hint) + "\n";
  }
  return out + "\n" + Summary(report) + "\n";
}

std::string CheckJson(const CheckReport& report) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(report.Passed()).Key("camera").BeginObject();
  json.Key("address").String(report.Address).Key("port").Number(report.Port).Key("user").String(report.User);
  json.Key("name").String(report.CameraName).Key("firmware").String(report.Firmware);
  json.Key("mac").String(report.Mac).EndObject();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", report.Seconds);
  json.Key("seconds").Raw(seconds);
  std::snprintf(seconds, sizeof seconds, "%.1f", report.WallSeconds);
  json.Key("wall_seconds").Raw(seconds);
  json.Key("interrupted").Bool(report.Interrupted).Key("rows").BeginArray();
  for (const CheckRow& row : report.Rows) {
    json.BeginObject().Key("function").String(row.Function).Key("result").String(VerdictName(row.Result));
    json.Key("figures").String(row.Figures).Key("values").BeginObject();
    for (const auto& [name, value] : row.Values) json.Key(name).Raw(value);
    json.EndObject();
    if (!row.Hint.empty()) json.Key("hint").String(row.Hint);
    if (!row.ProbeSteps.empty()) {
      json.Key("probes").BeginArray();
      for (const std::string& step : row.ProbeSteps) json.String(step);
      json.EndArray();
    }
    json.EndObject();
  }
  return json.EndArray().EndObject().Text();
}

std::string CheckHtml(const CheckReport& report, const std::string& version) {
  std::string page =
      "<!DOCTYPE html>\n"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"UTF-8\"/>\n"
      "<title>camctl check: " +
      XmlText(CameraLine(report)) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  page += "<h1>camctl check: " + XmlText(CameraLine(report)) + "</h1>\n";
  page += "<p>Checked " + XmlText(report.StartedAt) + " by camctl " + XmlText(version) + " as user " +
          XmlText(report.User.empty() ? "(none)" : report.User);
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, ", %.1f s of video per codec.", report.Seconds);
  page += XmlText(seconds) + "</p>\n";
  page += std::string("<p class=\"summary\">") + (report.Passed() ? "&#10004; " : "&#10008; ") +
          XmlText(Summary(report)) + "</p>\n";
  page += "<table>\n<tr><th>function</th><th>result</th><th>figures</th></tr>\n";
  for (const CheckRow& row : report.Rows) {
    page += std::string("<tr class=\"") + RowClass(row.Result) + "\"><td>" + XmlText(row.Function) +
            "</td><td class=\"verdict\">" + XmlText(VerdictName(row.Result)) + "</td><td>" +
            XmlText(row.Figures);
    if (!row.Hint.empty()) page += "<div class=\"hint\">hint: " + XmlText(row.Hint) + "</div>";
    if (!row.ProbeSteps.empty()) {
      page += "<details><summary>camctl's own probes</summary><pre>";
      for (const std::string& step : row.ProbeSteps) page += XmlText(step) + "\n";
      page += "</pre></details>";
    }
    if (!row.ModuleLines.empty()) {
      page +=
          "<details><summary>module lines (" + std::to_string(row.ModuleLines.size()) + ")</summary><pre>";
      for (const hostkit::DebugLine& line : row.ModuleLines) {
        page += XmlText(line.Stamp + " [" + std::to_string(line.Level) + "] " + line.Text) + "\n";
      }
      page += "</pre></details>";
    }
    page += "</td></tr>\n";
  }
  page += "</table>\n";
  bool anySnapshot = false;
  for (const CheckRow& row : report.Rows) {
    if (row.Snapshot.empty()) continue;
    if (!anySnapshot) page += "<h2>Snapshots</h2>\n";
    anySnapshot = true;
    page += "<figure><img alt=\"" + XmlText(row.Function) + "\" width=\"" +
            std::to_string(row.SnapshotWidth) + "\" height=\"" + std::to_string(row.SnapshotHeight) +
            "\" src=\"data:image/png;base64," + Base64(row.Snapshot) + "\"/><figcaption>" +
            XmlText(row.Function) + ", last picture, " + std::to_string(row.SnapshotWidth) + "x" +
            std::to_string(row.SnapshotHeight) + "</figcaption></figure>\n";
  }
  return page + "</body>\n</html>\n";
}

}  // namespace camctl
