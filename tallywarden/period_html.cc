// The period report as one self-contained HTML page, in English or Brazilian Portuguese.
//
// Like the one-run page it has inline styles only, no script and nothing loaded from elsewhere
// (its content security policy forbids both), and every text is escaped. It is made to hold a
// month of tens of thousands of entries: one line a row in tables of fixed layout, and every long
// section folded in a <details> element that a browser neither lays out nor paints until it is
// opened; what the accountant works from (the verdict, the totals, the worklist) comes first.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "contracts/formats.h"
#include "tallywarden/period.h"
#include "tallywarden/report_html.h"

namespace tw::tool {
namespace {

struct Words {
  std::string_view lang, title, finished, unfinished, notes, source, period, runs, entries,
      reconciledOf, planned, stages, stage, allocations, matched, openEntries, open, amount,
      allocated, difference, ties, account, store, day, fees, kind, count, worklist, held, heldHelp,
      pass, reasons, left, right, competitors, proposed, lonePending, lonePendingHelp, entry, why,
      sliced, slicedHelp, never, neverHelp, accounts, accountsHelp, stores, storesHelp, storeRule,
      days, settlement, settlementHelp, allocationsList, runsList, state, commitment, crossStore,
      openByStage, residualRule, footer, none, total, more, description;
  std::string_view passName[3];    // reference, composition, without reference
  std::string_view holdReason[4];  // in kHoldReasons order
  std::string_view loneReason[5];  // in kLoneReasons order
  std::string_view stateName[6];   // in RunState order
};

constexpr Words kEnglish = {
    "en",
    "Period reconciliation report",
    "Close finished: every run is reconciled and verified.",
    "Close NOT finished",
    "Notes",
    "Source",
    "Period",
    "Runs",
    "Entries",
    "reconciled of",
    "planned",
    "Totals per stage",
    "Stage",
    "Allocations",
    "Matched",
    "Open entries",
    "Open",
    "Amount",
    "Allocated",
    "Difference",
    "ties out",
    "Account",
    "Store",
    "Day",
    "Fees and reversals per store",
    "Kind",
    "Count",
    "Review worklist",
    "Held candidates",
    "Every candidate the engine held for review instead of allocating it, with the pass that "
    "found it and why it was held. Amounts are the entries' own; the proposed amount is what the "
    "candidate would allocate.",
    "Pass",
    "Reasons",
    "Left",
    "Right",
    "Competes with",
    "Proposed",
    "Pending entries without a candidate",
    "Open entries no candidate names, and why none does.",
    "Entry",
    "Why",
    "Cells the plan sliced",
    "Candidates that the plan's slicing into runs separated (from plan.json).",
    "Entries that can never be candidates",
    "Open entries without a positive amount, and sales kept out of sales-settlement (without "
    "fees or with a reversal): no run can match them, so they stay out of the worklist.",
    "Per account",
    "Tie-out: the entries' amounts (a sale net of its fees) equal what the allocations took from "
    "them plus what is open. Open amounts per stage as the engine reports them.",
    "Per store",
    "Tie-out per store, and the allocations counted under each store.",
    "An allocation counts under the store of its left entry (the ERP, sales or settlement line, "
    "which records the store that made the business); a bank line carries the account holder's "
    "store. Allocations whose two sides are of different stores are counted as cross-store (marked "
    "* in the list of allocations).",
    "Per day",
    "Settlement lines against their sales",
    "A settlement line's amount less its sales-settlement allocations: what of it no sale "
    "explains. The residuals carry its open amount against the bank only.",
    "Allocations",
    "Runs",
    "State",
    "Commitment",
    "Cross-store",
    "Open per stage",
    "A bank line's open amount counts under erp-bank only when an erp-bank allocation or held "
    "candidate names it, under settlement-bank otherwise.",
    "Written by tallywarden report. Amounts are in currency units from whole cents, signs kept.",
    "None.",
    "Total",
    "more",
    "Description",
    {"reference", "composition", "without reference"},
    {"amounts differ", "dates differ", "several entries a side", "competes with an exact match"},
    {"reference on several entries of one side", "sale without fees", "sale with a reversal",
     "no positive amount", "no counterpart"},
    {"reconciled", "missing", "unfinished", "failed", "not verified", "input not of its output"},
};

constexpr Words kPortuguese = {
    "pt-BR",
    "Relatório de conciliação do período",
    "Fechamento concluído: todas as execuções conciliadas e verificadas.",
    "Fechamento NÃO concluído",
    "Observações",
    "Origem",
    "Período",
    "Execuções",
    "Lançamentos",
    "conciliados de",
    "planejados",
    "Totais por etapa",
    "Etapa",
    "Alocações",
    "Conciliado",
    "Lançamentos em aberto",
    "Em aberto",
    "Valor",
    "Alocado",
    "Diferença",
    "confere",
    "Conta",
    "Loja",
    "Dia",
    "Taxas e estornos por loja",
    "Tipo",
    "Quantidade",
    "Pendências para revisão",
    "Candidatos retidos",
    "Cada candidato que o motor reteve para revisão em vez de alocar, com a passagem que o "
    "encontrou e o motivo da retenção. Os valores são os dos próprios lançamentos; o valor "
    "proposto é o que o candidato alocaria.",
    "Passagem",
    "Motivos",
    "Esquerda",
    "Direita",
    "Concorre com",
    "Proposto",
    "Lançamentos pendentes sem candidato",
    "Lançamentos em aberto que nenhum candidato cita, e por quê.",
    "Lançamento",
    "Motivo",
    "Células divididas pelo plano",
    "Candidatos que a divisão do plano em execuções separou (de plan.json).",
    "Lançamentos que nunca podem ser candidatos",
    "Lançamentos em aberto sem valor positivo, e vendas fora de vendas-liquidação (sem taxas ou "
    "com estorno): nenhuma execução os concilia, por isso ficam fora das pendências.",
    "Por conta",
    "Conferência: o valor dos lançamentos (a venda líquida das taxas) é igual ao que as "
    "alocações tomaram deles mais o que está em aberto. Valores em aberto por etapa como o motor "
    "os informa.",
    "Por loja",
    "Conferência por loja, e as alocações contadas em cada loja.",
    "Uma alocação conta na loja do seu lançamento da esquerda (a linha do ERP, de vendas ou de "
    "liquidação, que registra a loja que fez o negócio); a linha do banco traz a loja titular da "
    "conta. Alocações cujos dois lados são de lojas diferentes contam como entre lojas (marcadas "
    "com * na lista de alocações).",
    "Por dia",
    "Liquidações contra suas vendas",
    "O valor de uma liquidação menos suas alocações de vendas-liquidação: o que nenhuma venda "
    "explica. Os resíduos trazem apenas o seu valor em aberto contra o banco.",
    "Alocações",
    "Execuções",
    "Situação",
    "Compromisso",
    "Entre lojas",
    "Em aberto por etapa",
    "O valor em aberto de uma linha do banco conta em erp-banco só quando uma alocação ou um "
    "candidato retido de erp-banco a cita; em liquidação-banco nos demais casos.",
    "Gerado por tallywarden report. Valores em reais a partir de centavos inteiros, com sinal.",
    "Nenhum.",
    "Total",
    "mais",
    "Descrição",
    {"referência", "composição", "sem referência"},
    {"valores diferem", "datas diferem", "vários lançamentos de um lado",
     "concorre com conciliação exata"},
    {"referência em vários lançamentos de um lado", "venda sem taxas", "venda com estorno",
     "sem valor positivo", "sem contrapartida"},
    {"conciliada", "ausente", "inacabada", "falhou", "não verificada", "entrada de outra saída"},
};

constexpr std::string_view kStyle = R"(
body{font:13px/1.35 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1d2733;background:#f5f6f8;margin:0}
main{max-width:1400px;margin:0 auto;padding:18px 24px 40px}
h1{font-size:22px;margin:0 0 10px}h2{font-size:17px;margin:22px 0 6px}h3{font-size:14px;margin:14px 0 4px}
.verdict{padding:9px 12px;border-radius:6px;font-weight:600;margin:0 0 10px}
.ok{background:#e3f4ea;color:#17603a;border:1px solid #a8d9bb}.bad{background:#fbe7e6;color:#8c1d18;border:1px solid #eeb4b0}
.verdict ul{margin:4px 0 0;padding-left:20px;font-weight:400}
.notes{margin:0 0 10px;padding-left:20px;color:#6b4e00}
dl.meta{display:grid;grid-template-columns:max-content 1fr;gap:1px 14px;margin:0 0 10px}
dl.meta dt{color:#5b6878}dl.meta dd{margin:0}
table{border-collapse:collapse;width:100%;background:#fff;border:1px solid #d5dae1;table-layout:fixed}
th,td{padding:1px 6px;border-bottom:1px solid #eceff3;text-align:left;vertical-align:top;overflow:hidden;white-space:nowrap}
td.w{white-space:normal}
.cv{content-visibility:auto;contain-intrinsic-size:auto 4200px}
th{background:#eceff3;font-weight:600;font-size:12px}
.n{text-align:right;font-variant-numeric:tabular-nums}
.neg{color:#a4271f}
.id{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:11.5px}
.d{color:#5b6878}
.chip{display:inline-block;background:#fdecc8;border-radius:3px;padding:0 4px;margin:0 2px 0 0;font-size:11.5px}
.help{color:#5b6878;margin:2px 0 6px;max-width:70em}
details{margin:6px 0}summary{cursor:pointer;font-weight:600;font-size:15px;padding:4px 0}
details>details{margin-left:14px}
details>details>summary{font-size:13.5px}
pre.list{background:#fff;border:1px solid #d5dae1;padding:6px 8px;font:11.5px/1.35 ui-monospace,Menlo,Consolas,monospace;overflow-x:auto}
footer{margin-top:28px;color:#7a8593;font-size:12px}
)";

class Page {
 public:
  Page(const Words& words, ReportLocale locale) : w(words), locale_(locale) {}
  Page& raw(std::string_view text) {
    out_ += text;
    return *this;
  }
  Page& text(std::string_view text) {
    appendEscapedHtml(out_, text);
    return *this;
  }
  Page& number(size_t n) {
    std::string digits = std::to_string(n);
    if (locale_ == ReportLocale::PtBr) {
      for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, '.');
    } else {
      for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
    }
    return raw(digits);
  }
  // An amount: "1,089.10" (en) or "R$ 1.089,10" (pt-BR); negative ones marked.
  Page& money(__int128 cents) {
    if (cents >= 0) return plainMoney(cents);
    return raw("<span class=\"neg\">").plainMoney(cents).raw("</span>");
  }
  // The amount's text alone, without marking a negative one.
  Page& plainMoney(__int128 cents) {
    std::string text = formatCurrency(cents);
    if (locale_ == ReportLocale::PtBr) {
      for (char& c : text) c = c == ',' ? '.' : c == '.' ? ',' : c;
      text = cents < 0 ? "-R$\u00a0" + text.substr(1) : "R$\u00a0" + text;
    }
    return raw(text);
  }
  Page& money(const Amount& amount) {
    if (amount.overflow) return raw("(overflow)");
    return money(amount.value);
  }
  Page& moneyCell(const Amount& amount) {
    return raw("<td class=\"n\">").money(amount).raw("</td>");
  }
  Page& moneyCell(__int128 cents) { return raw("<td class=\"n\">").money(cents).raw("</td>"); }
  Page& countCell(size_t n) { return raw("<td class=\"n\">").number(n).raw("</td>"); }
  // A date of the books: "2024-05-08" (en) or "08/05/2024" (pt-BR).
  Page& date(std::string_view iso) {
    if (locale_ == ReportLocale::PtBr && iso.size() == 10) {
      return text(iso.substr(8, 2)).raw("/").text(iso.substr(5, 2)).raw("/").text(iso.substr(0, 4));
    }
    return text(iso);
  }
  std::string_view stageName(size_t index) const {
    static constexpr std::string_view kNames[3] = {"erp-banco", "vendas-liquidação",
                                                   "liquidação-banco"};
    return locale_ == ReportLocale::PtBr ? kNames[index] : toText(stageAt(index));
  }
  Page& stage(size_t index) { return text(stageName(index)); }
  // A component kind ("fee", "reversal") in the page's language.
  Page& componentKind(std::string_view kind) {
    if (locale_ == ReportLocale::PtBr) {
      if (kind == "fee") return text("tarifa");
      if (kind == "reversal") return text("estorno");
    }
    return text(kind);
  }
  ReportLocale locale() const { return locale_; }
  Page& open(std::string_view summary, size_t count, bool expanded, std::string_view id = {}) {
    raw(expanded ? "<details open" : "<details");
    if (!id.empty()) raw(" id=\"").raw(id).raw("\"");
    raw("><summary>").text(summary).raw(" (").number(count).raw(")</summary>");
    return *this;
  }
  Page& close() { return raw("</details>"); }
  Page& help(std::string_view text) { return raw("<p class=\"help\">").text(text).raw("</p>"); }
  // A long table is cut into chunks of kChunkRows rows, each a table of its own in a box that the
  // browser neither lays out nor paints while it is off screen; one fixed column group keeps the
  // chunks' columns aligned.
  Page& beginChunked(std::string_view colgroup, std::string_view head) {
    chunkColumns_ = colgroup;
    chunkRows_ = 0;
    return raw("<div class=\"cv\"><table>").raw(colgroup).raw(head).raw("<tbody>");
  }
  Page& chunkRow() {
    if (chunkRows_ > 0 && chunkRows_ % kChunkRows == 0) {
      raw("</tbody></table></div>\n<div class=\"cv\"><table>").raw(chunkColumns_).raw("<tbody>");
    }
    ++chunkRows_;
    return raw("<tr>");
  }
  Page& endChunked() { return raw("</tbody></table></div>"); }
  std::string take() { return std::move(out_); }

  const Words& w;

 private:
  static constexpr size_t kChunkRows = 200;
  ReportLocale locale_;
  std::string out_;
  std::string chunkColumns_;
  size_t chunkRows_ = 0;
};

__int128 cents(const std::string& text) {
  auto parsed = parseAmount(text);
  return parsed ? *parsed : 0;
}

// Characters of a UTF-8 text (bytes that do not continue a character), for aligning columns.
size_t utf8Width(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string_view passName(const Words& w, MatchPass pass) {
  return w.passName[pass == MatchPass::Reference ? 0 : pass == MatchPass::Composition ? 1 : 2];
}

// Long lists are written as preformatted text, one line a row in aligned columns: a browser
// reads such a listing as a few text nodes, where a table of as many rows costs it one element a
// cell. The CSV files hold the same rows as tables.
class Listing {
 public:
  Listing(std::vector<std::string> titles, std::vector<bool> rightAligned)
      : titles_(std::move(titles)), right_(std::move(rightAligned)), width_(titles_.size()) {
    for (size_t i = 0; i < titles_.size(); ++i) width_[i] = utf8Width(titles_[i]);
  }
  void add(std::vector<std::string> cells) {
    for (size_t i = 0; i < cells.size() && i < width_.size(); ++i) {
      width_[i] = std::max(width_[i], utf8Width(cells[i]));
    }
    rows_.push_back(std::move(cells));
  }
  size_t size() const { return rows_.size(); }
  void write(Page& page) const {
    page.raw("<pre class=\"list\"><b>");
    line(page, titles_);
    page.raw("</b>");
    for (const auto& row : rows_) line(page, row);
    page.raw("</pre>");
  }

 private:
  void line(Page& page, const std::vector<std::string>& cells) const {
    for (size_t i = 0; i < cells.size(); ++i) {
      const bool last = i + 1 == cells.size();
      const size_t fill =
          i < width_.size() ? width_[i] - std::min(width_[i], utf8Width(cells[i])) : 0;
      if (right_[i]) page.raw(std::string(fill, ' '));
      page.text(cells[i]);
      if (!right_[i] && !last) page.raw(std::string(fill, ' '));
      if (!last) page.raw("  ");
    }
    page.raw("\n");
  }
  std::vector<std::string> titles_;
  std::vector<bool> right_;
  std::vector<size_t> width_;
  std::vector<std::vector<std::string>> rows_;
};

// One line for an entry: identifier, date, amount and description.
void entryLine(Page& page, const PeriodRun& run, std::string_view id) {
  page.text(id);
  const Entry* entry = findRunEntry(run, id);
  if (entry == nullptr) return;
  page.raw(" · ").money(cents(entry->cents)).raw(" · ").date(entry->date);
  if (entry->description) page.raw(" · ").text(*entry->description);
}

void tallyHead(Page& page, std::string_view first, bool tieOut, bool allocations) {
  page.raw("<table><thead><tr><th style=\"width:13%\">").text(first).raw("</th>");
  page.raw("<th class=\"n\">").text(page.w.entries).raw("</th>");
  if (tieOut) {
    page.raw("<th class=\"n\">").text(page.w.amount).raw("</th><th class=\"n\">");
    page.text(page.w.allocated).raw("</th>");
  }
  page.raw("<th class=\"n\">").text(page.w.openEntries).raw("</th><th class=\"n\">");
  page.text(page.w.open).raw("</th>");
  if (tieOut) page.raw("<th class=\"n\">").text(page.w.difference).raw("</th>");
  if (allocations) {
    page.raw("<th class=\"n\">").text(page.w.allocations).raw("</th><th class=\"n\">");
    page.text(page.w.matched).raw("</th><th class=\"n\">").text(page.w.crossStore).raw("</th>");
  }
  page.raw("</tr></thead><tbody>");
}

void tallyRow(Page& page, const Tally& tally, bool tieOut, bool allocations) {
  page.countCell(tally.entries);
  if (tieOut) page.moneyCell(tally.amount).moneyCell(tally.allocated);
  page.countCell(tally.openEntries).moneyCell(tally.open);
  if (tieOut) {
    const Amount difference = tally.difference();
    page.raw("<td class=\"n\">");
    if (!difference.overflow && difference.value == 0) {
      page.text(page.w.ties);
    } else {
      page.raw("<b>").money(difference).raw("</b>");
    }
    page.raw("</td>");
  }
  if (allocations)
    page.countCell(tally.allocations).moneyCell(tally.matched).countCell(tally.crossStore);
  page.raw("</tr>\n");
}

void verdict(Page& page, const PeriodReport& report) {
  if (report.finished) {
    page.raw("<div class=\"verdict ok\">").text(page.w.finished).raw("</div>");
  } else {
    page.raw("<div class=\"verdict bad\">").text(page.w.unfinished).raw("<ul>");
    for (const std::string& problem : report.problems) page.raw("<li>").text(problem).raw("</li>");
    page.raw("</ul></div>");
  }
  if (!report.notes.empty()) {
    page.raw("<ul class=\"notes\">");
    for (const std::string& note : report.notes) page.raw("<li>").text(note).raw("</li>");
    page.raw("</ul>");
  }
  size_t reconciled = 0;
  for (const PeriodRun& run : report.runs) reconciled += run.state == RunState::Reconciled;
  page.raw("<dl class=\"meta\"><dt>").text(page.w.source).raw("</dt><dd>").text(report.source);
  if (report.periodFrom) {
    page.raw("</dd><dt>").text(page.w.period).raw("</dt><dd>").date(*report.periodFrom);
    page.raw(" – ").date(report.periodTo.value_or(""));
  }
  page.raw("</dd><dt>").text(page.w.runs).raw("</dt><dd>").number(reconciled).raw(" ");
  page.text(page.w.reconciledOf).raw(" ").number(report.runs.size());
  page.raw("</dd><dt>").text(page.w.entries).raw("</dt><dd>").number(report.reconciledEntries);
  page.raw(" ").text(page.w.reconciledOf).raw(" ").number(report.plannedEntries).raw(" ");
  page.text(page.w.planned).raw("</dd></dl>");
}

void stageTotals(Page& page, const PeriodReport& report) {
  const PeriodFigures& figures = report.figures;
  page.raw("<h2>").text(page.w.stages).raw("</h2>");
  page.raw("<table><thead><tr><th style=\"width:22%\">").text(page.w.stage);
  page.raw("</th><th class=\"n\">").text(page.w.allocations).raw("</th><th class=\"n\">");
  page.text(page.w.matched).raw("</th><th class=\"n\">").text(page.w.openEntries);
  page.raw("</th><th class=\"n\">").text(page.w.open).raw("</th></tr></thead><tbody>");
  for (size_t i = 0; i < figures.stages.size(); ++i) {
    const Tally& stage = figures.stages[i];
    page.raw("<tr><td>").stage(i).raw("</td>").countCell(stage.allocations);
    page.moneyCell(stage.matched).countCell(stage.openEntries).moneyCell(stage.open);
    page.raw("</tr>");
  }
  page.raw("<tr><td><b>").text(page.w.total).raw("</b></td>").countCell(figures.total.allocations);
  page.moneyCell(figures.total.matched).countCell(figures.total.openEntries);
  page.moneyCell(figures.total.open).raw("</tr></tbody></table>");
  page.help(page.w.residualRule);
}

void heldTable(Page& page, const PeriodReport& report, size_t count) {
  page.open(page.w.held, count, true, "held");
  page.help(page.w.heldHelp);
  if (count == 0) {
    page.raw("<p>").text(page.w.none).raw("</p>");
    page.close();
    return;
  }
  std::string head = "<thead><tr><th>#<th>";
  for (std::string_view name : {page.w.stage, page.w.pass, page.w.reasons}) {
    appendEscapedHtml(head, name);
    head += "<th>";
  }
  head += "<th class=\"n\">";
  for (std::string_view name : {page.w.proposed, page.w.left, page.w.right, page.w.competitors}) {
    appendEscapedHtml(head, name);
    head += name == page.w.competitors ? "</thead>" : "<th>";
  }
  head.erase(head.find("<th><th class"), 4);
  page.beginChunked(
      "<colgroup><col style=\"width:3.5%\"><col style=\"width:8.5%\"><col style=\"width:8%\">"
      "<col style=\"width:11%\"><col style=\"width:8%\"><col><col><col style=\"width:7%\">"
      "</colgroup>",
      head);
  for (const PeriodRun& run : report.runs) {
    if (run.review.held.empty()) continue;
    page.chunkRow().raw("<th colspan=\"8\" class=\"id\">").text(run.runId).raw("\n");
    for (size_t h = 0; h < run.review.held.size(); ++h) {
      const HeldCandidate& held = run.review.held[h];
      page.chunkRow().raw("<td class=\"id\">").raw(std::to_string(h + 1));
      page.raw("<td>").stage(static_cast<size_t>(held.stage)).raw("<td>");
      page.text(passName(page.w, held.pass)).raw("<td class=\"w\">");
      for (size_t i = 0; i < kHoldReasons.size(); ++i) {
        if (held.has(kHoldReasons[i])) {
          page.raw("<span class=\"chip\">").text(page.w.holdReason[i]).raw("</span>");
        }
      }
      __int128 proposed = 0;
      for (const ReviewedProposal& proposal : held.proposals) proposed += proposal.cents;
      page.moneyCell(proposed).raw("<td>");
      for (size_t i = 0; i < held.proposals.size(); ++i) {
        if (i > 0) page.raw("<br>");
        entryLine(page, run, held.proposals[i].leftId);
      }
      page.raw("<td>");
      std::string_view lastRight;
      for (const ReviewedProposal& proposal : held.proposals) {
        if (proposal.rightId == lastRight) continue;
        if (!lastRight.empty()) page.raw("<br>");
        lastRight = proposal.rightId;
        entryLine(page, run, proposal.rightId);
      }
      page.raw("<td class=\"w id\">");
      for (size_t other : held.competitors) page.raw("#").raw(std::to_string(other + 1)).raw(" ");
      if (held.competitorCount > held.competitors.size()) {
        page.raw("+").number(held.competitorCount - held.competitors.size()).raw(" ");
        page.text(page.w.more);
      }
      page.raw("\n");
    }
  }
  page.endChunked();
  page.close();
}

void openTable(Page& page, const PeriodReport& report, bool never) {
  Listing listing(
      {std::string(page.w.runs), std::string(page.w.entry), std::string(page.w.day),
       std::string(page.w.account), std::string(page.w.store), std::string(page.w.amount),
       std::string(page.w.open), std::string(page.w.why), std::string(page.w.description)},
      {false, false, false, false, false, true, true, false, false});
  Page cell(page.w, page.locale());
  for (const OpenEntry& open : report.open) {
    if (!open.held.empty() || open.neverCandidate() != never) continue;
    const Entry& entry = *open.entry;
    std::string why;
    for (size_t i = 0; i < kLoneReasons.size(); ++i) {
      if (open.loneReasons & static_cast<uint8_t>(kLoneReasons[i])) {
        why += (why.empty() ? "" : ", ") + std::string(page.w.loneReason[i]);
      }
    }
    std::string date = cell.date(entry.date).take();
    std::string amount = cell.plainMoney(cents(entry.cents)).take();
    std::string residual = cell.plainMoney(open.residual).take();
    listing.add({report.runs[open.run].runId, entry.id, std::move(date), entry.accountId,
                 entry.establishment, std::move(amount), std::move(residual), std::move(why),
                 entry.description.value_or("")});
  }
  listing.write(page);
}

// Every string in a JSON value, in order: the entries a sliced cell's candidates name.
void collectStrings(const Json& value, std::vector<std::string_view>& out) {
  if (value.isString()) out.push_back(value.asString());
  if (value.isArray()) {
    for (const Json& item : value.asArray()) collectStrings(item, out);
  }
  if (value.isObject()) {
    for (const auto& [name, item] : value.asObject()) collectStrings(item, out);
  }
}

// A member of a sliced cell as text: a string as it is, a number in decimal.
std::string memberText(const Json& cell, std::string_view name) {
  const Json* member = cell.find(name);
  if (member == nullptr) return {};
  if (member->isString()) return member->asString();
  if (member->isUnsigned()) return std::to_string(member->asUnsigned());
  return {};
}

void slicedCells(Page& page, const PeriodReport& report) {
  const size_t count = report.slicedCells ? report.slicedCells->asArray().size() : 0;
  page.open(page.w.sliced, count, false, "sliced");
  page.help(page.w.slicedHelp);
  if (count == 0) {
    page.raw("<p>").text(page.w.none).raw("</p>");
    page.close();
    return;
  }
  // stage · pass · account · key (left x right, runs), then one line a candidate.
  std::string text;
  for (const Json& cell : report.slicedCells->asArray()) {
    text += memberText(cell, "stage") + " · " + memberText(cell, "pass") + " · " +
            memberText(cell, "accountId") + " · " + memberText(cell, "key") + "  (" +
            memberText(cell, "left") + " x " + memberText(cell, "right") + ", " +
            memberText(cell, "runs") + ")\n";
    for (std::string_view member : {"separated", "competing"}) {
      const Json* candidates = cell.find(member);
      if (candidates == nullptr || !candidates->isArray()) continue;
      for (const Json& candidate : candidates->asArray()) {
        std::vector<std::string_view> ids;
        collectStrings(candidate, ids);
        text += "    ";
        text += member;
        text += ":";
        for (std::string_view id : ids) (text += ' ') += id;
        text += '\n';
      }
    }
  }
  page.raw("<pre class=\"list\">").text(text).raw("</pre>");
  page.close();
}

void worklist(Page& page, const PeriodReport& report) {
  size_t held = 0;
  for (const PeriodRun& run : report.runs) held += run.review.held.size();
  size_t lone = 0;
  for (const OpenEntry& open : report.open) lone += open.held.empty() && !open.neverCandidate();
  page.raw("<h2 id=\"worklist\">").text(page.w.worklist).raw("</h2>");
  heldTable(page, report, held);
  page.open(page.w.lonePending, lone, lone <= 2000, "lone");
  page.help(page.w.lonePendingHelp);
  openTable(page, report, false);
  page.close();
  slicedCells(page, report);
}

void accounts(Page& page, const PeriodReport& report) {
  const PeriodFigures& figures = report.figures;
  page.open(page.w.accounts, figures.accounts.size(), true, "accounts");
  page.help(page.w.accountsHelp);
  tallyHead(page, page.w.account, true, false);
  for (const auto& [account, tally] : figures.accounts) {
    page.raw("<tr><td class=\"id\">").text(account).raw("</td>");
    tallyRow(page, tally, true, false);
  }
  page.raw("</tbody></table><h3>").text(page.w.openByStage).raw("</h3>");
  page.raw("<table><thead><tr><th style=\"width:22%\">").text(page.w.account).raw("</th><th>");
  page.text(page.w.stage).raw("</th><th class=\"n\">").text(page.w.openEntries);
  page.raw("</th><th class=\"n\">").text(page.w.open).raw("</th></tr></thead><tbody>\n");
  for (const auto& [key, tally] : figures.accountStages) {
    page.raw("<tr><td class=\"id\">").text(key.first).raw("</td><td>").stage(key.second);
    page.raw("</td>").countCell(tally.openEntries).moneyCell(tally.open).raw("</tr>\n");
  }
  page.raw("</tbody></table>");
  page.close();
}

void stores(Page& page, const PeriodReport& report) {
  const PeriodFigures& figures = report.figures;
  page.open(page.w.stores, figures.stores.size(), true, "stores");
  page.help(page.w.storesHelp);
  page.help(page.w.storeRule);
  tallyHead(page, page.w.store, true, true);
  for (const auto& [store, tally] : figures.stores) {
    page.raw("<tr id=\"s-").text(store).raw("\"><td class=\"id\">").text(store).raw("</td>");
    tallyRow(page, tally, true, true);
  }
  page.raw("</tbody></table><h3>").text(page.w.fees).raw("</h3>");
  page.raw("<table><thead><tr><th style=\"width:22%\">").text(page.w.store).raw("</th><th>");
  page.text(page.w.kind)
      .raw("</th><th class=\"n\">")
      .text(page.w.count)
      .raw("</th><th class=\"n\">");
  page.text(page.w.amount).raw("</th></tr></thead><tbody>\n");
  for (const auto& [key, tally] : figures.fees) {
    page.raw("<tr><td class=\"id\">").text(key.first).raw("</td><td>").componentKind(key.second);
    page.raw("</td>").countCell(tally.entries).moneyCell(tally.amount).raw("</tr>\n");
  }
  page.raw("</tbody></table>");
  page.close();
}

void days(Page& page, const PeriodReport& report) {
  const PeriodFigures& figures = report.figures;
  page.open(page.w.days, figures.days.size(), false, "days");
  page.raw("<table><thead><tr><th style=\"width:22%\">").text(page.w.day);
  page.raw("</th><th class=\"n\">").text(page.w.allocations).raw("</th><th class=\"n\">");
  page.text(page.w.matched).raw("</th><th class=\"n\">").text(page.w.openEntries);
  page.raw("</th><th class=\"n\">").text(page.w.open).raw("</th></tr></thead><tbody>\n");
  for (const auto& [day, tally] : figures.days) {
    page.raw("<tr><td>").date(day).raw("</td>").countCell(tally.allocations);
    page.moneyCell(tally.matched).countCell(tally.openEntries).moneyCell(tally.open).raw("</tr>\n");
  }
  page.raw("</tbody></table>");
  page.close();
}

void settlements(Page& page, const PeriodReport& report) {
  const Tally& tally = report.figures.settlementAgainstSales;
  page.open(page.w.settlement, tally.openEntries, false, "settlements");
  page.help(page.w.settlementHelp);
  tallyHead(page, page.w.total, true, false);
  page.raw("<tr><td></td>");
  tallyRow(page, tally, true, false);
  page.raw("</tbody></table>");
  Listing listing(
      {std::string(page.w.runs), std::string(page.w.entry), std::string(page.w.day),
       std::string(page.w.account), std::string(page.w.store), std::string(page.w.amount),
       std::string(page.w.open), std::string(page.w.description)},
      {false, false, false, false, false, true, true, false});
  Page cell(page.w, page.locale());
  for (const SettlementOpen& open : report.settlementsOpen) {
    const Entry& entry = *open.entry;
    std::string date = cell.date(entry.date).take();
    std::string amount = cell.plainMoney(cents(entry.cents)).take();
    std::string againstSales = cell.plainMoney(open.againstSales).take();
    listing.add({report.runs[open.run].runId, entry.id, std::move(date), entry.accountId,
                 entry.establishment, std::move(amount), std::move(againstSales),
                 entry.description.value_or("")});
  }
  listing.write(page);
  page.close();
}

void never(Page& page, const PeriodReport& report) {
  const Tally& tally = report.figures.neverCandidates;
  page.open(page.w.never, tally.openEntries, false, "never");
  page.help(page.w.neverHelp);
  tallyHead(page, page.w.total, false, false);
  page.raw("<tr><td></td>");
  tallyRow(page, tally, false, false);
  page.raw("</tbody></table>");
  openTable(page, report, true);
  page.close();
}

void allocationList(Page& page, const PeriodReport& report) {
  page.open(page.w.allocationsList, report.figures.total.allocations, false, "allocations");
  page.help(page.w.storeRule);
  Listing listing({std::string(page.w.runs), std::string(page.w.stage), std::string(page.w.amount),
                   std::string(page.w.left), std::string(page.w.day), std::string(page.w.right),
                   std::string(page.w.store)},
                  {false, false, true, false, false, false, false});
  Page cell(page.w, page.locale());
  for (const PeriodRun& run : report.runs) {
    if (!run.result) continue;
    for (const Allocation& allocation : run.result->allocations) {
      const Entry* left = findRunEntry(run, allocation.leftId);
      const Entry* right = findRunEntry(run, allocation.rightId);
      std::string store = countingStore(left, right);
      if (left != nullptr && right != nullptr && left->establishment != right->establishment) {
        store += " *";
      }
      std::string amount = cell.plainMoney(cents(allocation.cents)).take();
      std::string date = left != nullptr ? cell.date(left->date).take() : std::string();
      listing.add({run.runId, std::string(page.stageName(static_cast<size_t>(allocation.stage))),
                   std::move(amount), allocation.leftId, std::move(date), allocation.rightId,
                   std::move(store)});
    }
  }
  listing.write(page);
  page.close();
}

void runList(Page& page, const PeriodReport& report) {
  page.open(page.w.runsList, report.runs.size(), !report.finished, "runs");
  page.raw(
      "<table><colgroup><col style=\"width:18%\"><col style=\"width:14%\"><col style=\"width:9%\">"
      "<col><col style=\"width:38%\"></colgroup><thead><tr><th>");
  page.text(page.w.runs).raw("</th><th>").text(page.w.state).raw("</th><th class=\"n\">");
  page.text(page.w.entries).raw("</th><th></th><th>").text(page.w.commitment);
  page.raw("</th></tr></thead><tbody>\n");
  for (const PeriodRun& run : report.runs) {
    const auto state = static_cast<size_t>(run.state);
    page.raw("<tr><td class=\"id\">").text(run.runId).raw("</td><td>");
    if (run.state != RunState::Reconciled) page.raw("<b class=\"neg\">");
    page.text(page.w.stateName[state]);
    if (run.state != RunState::Reconciled) page.raw("</b>");
    page.raw("</td>").countCell(run.input.entries.size()).raw("<td class=\"w\">");
    page.text(run.problem).raw("</td><td class=\"id\">").text(run.commitment.value_or(""));
    page.raw("</td></tr>\n");
  }
  page.raw("</tbody></table>");
  page.close();
}

}  // namespace

std::string periodHtml(const PeriodReport& report, ReportLocale locale) {
  const Words& words = locale == ReportLocale::PtBr ? kPortuguese : kEnglish;
  Page page(words, locale);
  page.raw("<!DOCTYPE html>\n<html lang=\"")
      .raw(words.lang)
      .raw("\"><head><meta charset=\"utf-8\">");
  page.raw(
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>");
  page.text(words.title);
  if (report.periodFrom)
    page.raw(": ").date(*report.periodFrom).raw(" – ").date(report.periodTo.value_or(""));
  page.raw("</title><style>").raw(kStyle).raw("</style></head>\n<body><main><h1>");
  page.text(words.title).raw("</h1>");
  verdict(page, report);
  stageTotals(page, report);
  worklist(page, report);
  accounts(page, report);
  stores(page, report);
  days(page, report);
  settlements(page, report);
  never(page, report);
  allocationList(page, report);
  runList(page, report);
  page.raw("<footer>").text(words.footer).raw("</footer></main></body></html>\n");
  return page.take();
}

}  // namespace tw::tool
