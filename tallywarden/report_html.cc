#include "tallywarden/report_html.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "contracts/formats.h"

namespace tw::tool {

void appendEscapedHtml(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

namespace {

constexpr std::string_view kStyle = R"(
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1d2733;background:#f5f6f8;margin:0}
main{max-width:1200px;margin:0 auto;padding:24px 28px 48px}
h1{font-size:24px;margin:0 0 12px}h2{font-size:18px;margin:32px 0 10px;border-bottom:1px solid #d5dae1;padding-bottom:4px}
.verdict{padding:10px 14px;border-radius:6px;font-weight:600;margin:0 0 14px}
.ok{background:#e3f4ea;color:#17603a;border:1px solid #a8d9bb}.bad{background:#fbe7e6;color:#8c1d18;border:1px solid #eeb4b0}
.notes{margin:0 0 14px;padding-left:20px;color:#6b4e00}
dl.meta{display:grid;grid-template-columns:max-content 1fr;gap:2px 16px;margin:0 0 14px}
dl.meta dt{color:#5b6878}dl.meta dd{margin:0;font-family:ui-monospace,Menlo,Consolas,monospace;word-break:break-all}
table{border-collapse:collapse;width:100%;background:#fff;border:1px solid #d5dae1}
table.fixed{table-layout:fixed}
th,td{padding:5px 8px;border-bottom:1px solid #e6e9ee;text-align:left;vertical-align:top}
th{background:#eceff3;font-weight:600;font-size:13px}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.id{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:12.5px;word-break:break-all}
.d{color:#5b6878;font-size:12px}
.chip{display:inline-block;background:#e8edf5;border-radius:3px;padding:0 5px;margin:0 3px 2px 0;font-size:12px}
.o{font-size:12px;color:#3b4756}
.chart{background:#fff;border:1px solid #d5dae1;margin:0 0 12px;display:block;width:100%;height:auto;box-sizing:border-box}
.ids{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:12px;word-break:break-all;background:#fff;padding:8px;border:1px solid #d5dae1}
summary{cursor:pointer;font-weight:600;margin:24px 0 8px}
footer{margin-top:36px;color:#7a8593;font-size:12px}
)";

constexpr std::string_view kMatchedColour = "#2e8b57";
constexpr std::string_view kOpenColour = "#d9892b";
// Per-day charts show at most this many bars; longer periods are shown per month, then per year.
constexpr size_t kMaxChartBuckets = 62;

class Page {
 public:
  Page& raw(std::string_view text) {
    out_ += text;
    return *this;
  }
  Page& text(std::string_view text) {
    appendEscapedHtml(out_, text);
    return *this;
  }
  Page& number(size_t n) { return raw(std::to_string(n)); }
  Page& coordinate(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return raw(buffer);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Bar geometry only; every amount shown as text is exact.
double ratio(const Amount& part, const Amount& whole) {
  if (part.overflow || whole.overflow || whole.value <= 0) return 0;
  return static_cast<double>(static_cast<long double>(part.value) /
                             static_cast<long double>(whole.value));
}

const Amount& larger(const Amount& a, const Amount& b) {
  if (a.overflow || b.overflow) return a.overflow ? a : b;
  return a.value >= b.value ? a : b;
}

void legend(Page& page, double x, double y) {
  page.raw("<rect x=\"")
      .coordinate(x)
      .raw("\" y=\"")
      .coordinate(y - 10)
      .raw("\" width=\"12\" height=\"12\" fill=\"");
  page.raw(kMatchedColour).raw("\"/><text x=\"").coordinate(x + 18).raw("\" y=\"").coordinate(y);
  page.raw("\">matched</text><rect x=\"").coordinate(x + 90).raw("\" y=\"").coordinate(y - 10);
  page.raw("\" width=\"12\" height=\"12\" fill=\"").raw(kOpenColour).raw("\"/><text x=\"");
  page.coordinate(x + 108).raw("\" y=\"").coordinate(y).raw("\">open</text>");
}

void stageChart(Page& page, const ReportFigures& figures) {
  constexpr double kWidth = 1140, kLabel = 150, kValue = 170, kRow = 64, kTop = 34;
  const double plot = kWidth - kLabel - kValue;
  Amount top;
  for (const StageFigures& stage : figures.stages)
    top = larger(top, larger(stage.matched, stage.open));
  const double height = kTop + kRow * 3 + 10;
  page.raw(
          "<svg class=\"chart\" role=\"img\" aria-label=\"Matched and open amounts per stage\" "
          "xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 ")
      .coordinate(kWidth)
      .raw(" ")
      .coordinate(height)
      .raw("\" font-size=\"13\" font-family=\"system-ui,sans-serif\">");
  page.raw("<text x=\"12\" y=\"22\" font-weight=\"600\">Per stage</text>");
  legend(page, kWidth - 190, 22);
  for (size_t i = 0; i < figures.stages.size(); ++i) {
    const StageFigures& stage = figures.stages[i];
    const double y = kTop + kRow * static_cast<double>(i);
    page.raw("<text x=\"12\" y=\"")
        .coordinate(y + 26)
        .raw("\">")
        .raw(toText(stageAt(i)))
        .raw("</text>");
    const std::array<std::pair<const Amount*, std::string_view>, 2> bars = {
        {{&stage.matched, kMatchedColour}, {&stage.open, kOpenColour}}};
    for (size_t b = 0; b < bars.size(); ++b) {
      const double barY = y + 6 + 26 * static_cast<double>(b);
      const double width = std::max(1.0, plot * ratio(*bars[b].first, top));
      page.raw("<rect x=\"").coordinate(kLabel).raw("\" y=\"").coordinate(barY);
      page.raw("\" width=\"").coordinate(width).raw("\" height=\"20\" rx=\"2\" fill=\"");
      page.raw(bars[b].second).raw("\"/><text x=\"").coordinate(kLabel + width + 8);
      page.raw("\" y=\"").coordinate(barY + 15).raw("\">").text(formatCurrency(*bars[b].first));
      page.raw("</text>");
    }
  }
  page.raw("</svg>");
}

// Days, or months or years when there are too many days for one bar each.
std::vector<std::pair<std::string, DayFigures>> chartBuckets(const ReportFigures& figures) {
  std::vector<std::pair<std::string, DayFigures>> buckets;
  for (size_t keep : {size_t{10}, size_t{7}, size_t{4}}) {
    buckets.clear();
    for (const auto& [date, day] : figures.days) {
      const std::string key = date.substr(0, keep);
      if (buckets.empty() || buckets.back().first != key) buckets.emplace_back(key, DayFigures{});
      buckets.back().second.matched.add(day.matched);
      buckets.back().second.open.add(day.open);
    }
    if (buckets.size() <= kMaxChartBuckets) break;
  }
  return buckets;
}

void dayChart(Page& page, const ReportFigures& figures) {
  const auto buckets = chartBuckets(figures);
  if (buckets.empty()) return;
  constexpr double kWidth = 1140, kLeft = 120, kRight = 16, kTop = 40, kPlot = 220, kBottom = 46;
  Amount top;
  for (const auto& [key, day] : buckets) top = larger(top, larger(day.matched, day.open));
  const double slot = (kWidth - kLeft - kRight) / static_cast<double>(buckets.size());
  const double bar = std::max(1.0, slot * 0.38);
  const std::string_view unit = buckets.front().first.size() == 10  ? "day"
                                : buckets.front().first.size() == 7 ? "month"
                                                                    : "year";
  page.raw("<svg class=\"chart\" role=\"img\" aria-label=\"Matched and open amounts per ")
      .raw(unit)
      .raw("\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 ")
      .coordinate(kWidth)
      .raw(" ")
      .coordinate(kTop + kPlot + kBottom)
      .raw("\" font-size=\"12\" font-family=\"system-ui,sans-serif\">");
  page.raw("<text x=\"12\" y=\"22\" font-weight=\"600\" font-size=\"13\">Per ").raw(unit);
  page.raw(" (matched on the left entry's date, open on the entry's date)</text>");
  legend(page, kWidth - 190, 22);
  // Grid lines at 0, half and the top, labelled with exact amounts.
  for (int step = 0; step <= 2; ++step) {
    const double y = kTop + kPlot - kPlot * step / 2.0;
    Amount label;
    if (!top.overflow) label.value = top.value / 2 * step + (step == 2 ? top.value % 2 : 0);
    label.overflow = top.overflow;
    page.raw("<line x1=\"").coordinate(kLeft).raw("\" x2=\"").coordinate(kWidth - kRight);
    page.raw("\" y1=\"").coordinate(y).raw("\" y2=\"").coordinate(y);
    page.raw("\" stroke=\"#d5dae1\"/><text x=\"").coordinate(kLeft - 6).raw("\" y=\"");
    page.coordinate(y + 4)
        .raw("\" text-anchor=\"end\">")
        .text(formatCurrency(label))
        .raw("</text>");
  }
  const size_t labelEvery = (buckets.size() + 15) / 16;
  for (size_t i = 0; i < buckets.size(); ++i) {
    const auto& [key, day] = buckets[i];
    const double x = kLeft + slot * static_cast<double>(i) + (slot - 2 * bar) / 2;
    const std::array<std::pair<const Amount*, std::string_view>, 2> bars = {
        {{&day.matched, kMatchedColour}, {&day.open, kOpenColour}}};
    for (size_t b = 0; b < bars.size(); ++b) {
      const double h = kPlot * ratio(*bars[b].first, top);
      page.raw("<rect x=\"").coordinate(x + bar * static_cast<double>(b)).raw("\" y=\"");
      page.coordinate(kTop + kPlot - h).raw("\" width=\"").coordinate(bar).raw("\" height=\"");
      page.coordinate(h).raw("\" fill=\"").raw(bars[b].second).raw("\"><title>").text(key);
      page.raw(b == 0 ? " matched " : " open ").text(formatCurrency(*bars[b].first));
      page.raw("</title></rect>");
    }
    if (i % labelEvery == 0) {
      page.raw("<text x=\"").coordinate(x + bar).raw("\" y=\"").coordinate(kTop + kPlot + 18);
      page.raw("\" text-anchor=\"middle\">").text(key.size() == 10 ? key.substr(5) : key);
      page.raw("</text>");
    }
  }
  page.raw("</svg>");
}

const Entry* findEntry(const SessionEntries* input, std::string_view id) {
  if (input == nullptr) return nullptr;
  auto found = input->entries.find(id);
  return found == input->entries.end() ? nullptr : &found->second;
}

// The identifier, and under it what the session input says of the entry.
void entryCell(Page& page, const SessionEntries* input, const std::string& id) {
  page.raw("<td><span class=\"id\">").text(id).raw("</span>");
  if (const Entry* entry = findEntry(input, id)) {
    page.raw("<div class=\"d\">").text(entry->date).raw(" · account ").text(entry->accountId);
    auto cents = parseAmount(entry->cents);
    page.raw(" · ").text(formatCurrency(cents ? *cents : 0));
    if (entry->reference) page.raw(" · ref ").text(*entry->reference);
    if (entry->description) page.raw("<br>").text(*entry->description);
    page.raw("</div>");
  } else if (input != nullptr) {
    page.raw("<div class=\"d\">not in the session input</div>");
  }
  page.raw("</td>");
}

void allocationsTable(Page& page, const ReconciliationResult& result, const SessionEntries* input) {
  page.raw("<h2>Allocations (").number(result.allocations.size()).raw(")</h2>");
  if (result.allocations.empty()) {
    page.raw("<p>No allocations.</p>");
    return;
  }
  // Fixed column widths: the browser lays out thousands of rows without measuring them first.
  page.raw(
      "<table class=\"fixed\"><colgroup><col style=\"width:52px\"><col style=\"width:128px\">"
      "<col style=\"width:118px\"><col><col><col style=\"width:30%\"></colgroup>"
      "<thead><tr><th class=\"n\">#</th><th>Stage</th><th class=\"n\">Amount</th>"
      "<th>Left</th><th>Right</th><th>Evidence</th></tr></thead><tbody>");
  size_t number = 0;
  for (const Allocation& allocation : result.allocations) {
    auto cents = parseAmount(allocation.cents);
    page.raw("<tr><td class=\"n\">").number(++number).raw("</td><td>");
    page.raw(toText(allocation.stage)).raw("</td><td class=\"n\">");
    page.text(formatCurrency(cents ? *cents : 0)).raw("</td>");
    entryCell(page, input, allocation.leftId);
    entryCell(page, input, allocation.rightId);
    page.raw("<td><span class=\"id\">").text(allocation.evidence.ruleId).raw("</span><br>");
    for (ReasonCode code : allocation.evidence.reasonCodes) {
      page.raw("<span class=\"chip\">").text(toText(code)).raw("</span>");
    }
    for (const Ref& origin : allocation.evidence.origins) {
      page.raw("<div class=\"o\">").text(origin.sourceId).raw(" / ").text(origin.fileId);
      if (origin.sheet) page.raw(" / sheet ").text(*origin.sheet);
      page.raw(" / row ").number(origin.row).raw("</div>");
    }
    page.raw("</td></tr>\n");
  }
  page.raw("</tbody></table>");
}

void residualsSection(Page& page, const ReconciliationResult& result, const ReportFigures& figures,
                      const SessionEntries* input) {
  page.raw("<h2>Pending entries (").number(result.pendingIds.size()).raw(")</h2>");
  page.raw("<p>Residuals of ").number(figures.residuals).raw(" entries: net ");
  page.text(formatCurrency(figures.residualNet)).raw(" (positive ");
  page.text(formatCurrency(figures.residualPositive)).raw(", negative ");
  page.text(formatCurrency(figures.residualNegative)).raw(").</p>");
  if (!result.pendingIds.empty()) {
    page.raw(
        "<table class=\"fixed\"><colgroup><col><col style=\"width:160px\"></colgroup>"
        "<thead><tr><th>Entry</th><th class=\"n\">Residual</th></tr></thead><tbody>");
    for (const std::string& id : result.pendingIds) {
      auto residual = result.residuals.find(id);
      page.raw("<tr>");
      entryCell(page, input, id);
      page.raw("<td class=\"n\">");
      if (residual != result.residuals.end()) {
        auto cents = parseAmount(residual->second);
        page.text(formatCurrency(cents ? *cents : 0));
      } else {
        page.raw("(none)");
      }
      page.raw("</td></tr>\n");
    }
    page.raw("</tbody></table>");
  }
  const size_t settled = figures.residuals - std::min(figures.residuals, result.pendingIds.size());
  page.raw("<details><summary>Settled entries, residual 0 (").number(settled);
  page.raw(")</summary><p class=\"ids\">");
  bool first = true;
  for (const auto& [id, text] : result.residuals) {
    if (text != "0") continue;
    if (!first) page.raw(", ");
    first = false;
    page.text(id);
  }
  page.raw("</p></details>");
}

void stageTable(Page& page, const ReportFigures& figures) {
  page.raw(
      "<h2>Stages</h2><table><thead><tr><th>Stage</th><th class=\"n\">Allocations</th>"
      "<th class=\"n\">Matched</th><th class=\"n\">Open entries</th><th class=\"n\">Open</th>"
      "</tr></thead><tbody>");
  for (size_t i = 0; i < figures.stages.size(); ++i) {
    const StageFigures& stage = figures.stages[i];
    page.raw("<tr><td>")
        .raw(toText(stageAt(i)))
        .raw("</td><td class=\"n\">")
        .number(stage.allocations);
    page.raw("</td><td class=\"n\">").text(formatCurrency(stage.matched));
    page.raw("</td><td class=\"n\">").number(stage.openEntries).raw("</td><td class=\"n\">");
    page.text(formatCurrency(stage.open)).raw("</td></tr>");
  }
  if (figures.openUnplaced > 0) {
    page.raw(
            "<tr><td>stage not known</td><td class=\"n\"></td><td class=\"n\"></td>"
            "<td class=\"n\">")
        .number(figures.openUnplaced)
        .raw("</td><td class=\"n\">")
        .text(formatCurrency(figures.openUnplacedAmount))
        .raw("</td></tr>");
  }
  page.raw("</tbody></table>");
}

void metadata(Page& page, const ReassembledOutput& output) {
  page.raw("<dl class=\"meta\">");
  auto row = [&](std::string_view name, const std::string& value) {
    page.raw("<dt>").raw(name).raw("</dt><dd>").text(value).raw("</dd>");
  };
  if (output.runId) row("run", *output.runId);
  if (output.nonce) row("nonce", *output.nonce);
  if (output.revision) row("revision", std::to_string(*output.revision));
  if (output.pageCount) {
    row("pages", std::to_string(output.pagesRead) + " of " + std::to_string(*output.pageCount));
  }
  if (output.claimedCommitment) row("commitment", *output.claimedCommitment);
  if (output.commitment && output.commitment != output.claimedCommitment) {
    row("recomputed", *output.commitment);
  }
  page.raw("</dl>");
}

}  // namespace

std::string renderHtmlReport(const ReassembledOutput& output, const ReportFigures& figures,
                             const SessionEntries* input, const std::vector<std::string>& notes) {
  Page page;
  page.raw(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Reconciliation report");
  if (output.runId) page.raw(": ").text(*output.runId);
  page.raw("</title><style>").raw(kStyle).raw("</style></head>\n<body><main>");
  page.raw("<h1>Reconciliation report</h1>");
  if (output.verified()) {
    page.raw("<p class=\"verdict ok\">Completed session; the commitment verifies.</p>");
  } else if (output.outcome == OutputOutcome::Failed) {
    page.raw("<p class=\"verdict bad\">Not a completed session: it ended with \"failed\", code ");
    page.text(output.failedCode.value_or("")).raw(".</p>");
  } else {
    page.raw("<p class=\"verdict bad\">Not a verified completed session: ").text(output.problem);
    page.raw("</p>");
  }
  if (!notes.empty()) {
    page.raw("<ul class=\"notes\">");
    for (const std::string& note : notes) page.raw("<li>").text(note).raw("</li>");
    page.raw("</ul>");
  }
  metadata(page, output);
  if (output.result) {
    if (!output.verified()) {
      page.raw("<p class=\"verdict bad\">The result below does not verify; do not rely on it.</p>");
    }
    stageTable(page, figures);
    page.raw("<h2>Matched and open</h2>");
    stageChart(page, figures);
    if (input == nullptr) {
      page.raw(
          "<p class=\"d\">Give the session input (--input) for the amounts per day and the "
          "entries' details.</p>");
    } else {
      dayChart(page, figures);
    }
    allocationsTable(page, *output.result, input);
    residualsSection(page, *output.result, figures, input);
  }
  page.raw(
      "<footer>Written by tallywarden report. Amounts are in currency units from "
      "whole cents.</footer></main></body></html>\n");
  return page.take();
}

}  // namespace tw::tool
