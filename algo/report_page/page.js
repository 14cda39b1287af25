"use strict";
// The fleet report: a table of the machines in the store's risk order, and the
// charts of the machine a planner chooses, drawn on demand from the inline data.
(() => {
  const fleet = JSON.parse(document.getElementById("fleet-data").textContent);
  const machines = fleet.machines;
  machines.forEach((machine, index) => {
    machine.rank = index + 1;
    machine.machine = String(machine.machine);
  });

  const COLOURS = {green: "#009e73", yellow: "#e69f00", red: "#d55e00", gray: "#8c8c8c"};
  const INK = "#1d2329", BLUE = "#0072b2", PINK = "#cc79a7";
  // An alert's severity drawn as the light of its colour.
  const SEVERITY_LIGHT = {critical: "red", warning: "yellow", info: "gray"};
  // Worst first, for sorting by a signal or a light; any other word sorts with gray.
  const SEVERITY = {red: 0, yellow: 1, gray: 2, green: 3};
  // A shape per light, so that a light reads without its colour.
  const SHAPES = {
    green: '<circle cx="6" cy="6" r="5"/>',
    yellow: '<path d="M6 0.5 L11.5 11 H0.5 Z"/>',
    red: '<rect x="1" y="1" width="10" height="10"/>',
  };
  const HOLLOW = '<circle cx="6" cy="6" r="4.5" fill="none" stroke-width="2"/>';
  const NONE = "\u2014";
  const SVG = "http://www.w3.org/2000/svg";
  const PLOT_CONFIG = {displaylogo: false, responsive: true, modeBarButtonsToRemove: ["select2d", "lasso2d"]};
  const EMPTY_CONFIG = {...PLOT_CONFIG, displayModeBar: false};
  const TIME = "%{x|%Y-%m-%d %H:%M}";

  // --- values as text -------------------------------------------------------

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // A missing number (null) reads as a dash; so does -1, the library's "no probability".
  function fixed(value, digits) {
    return value == null ? NONE : value.toFixed(digits);
  }

  function percent(value) {
    return value == null || value < 0 ? NONE : `${value.toFixed(1)} %`;
  }

  // Times travel as epoch seconds of the first one and the steps after it.
  function milliseconds(steps) {
    let seconds = 0;
    return steps.map((step) => (seconds += step) * 1000);
  }

  // The charts get the times as text, which plotly draws as written: they are UTC,
  // and plotly would shift epoch numbers into the browser's time zone.
  function utcText(time) {
    return time === null ? null : new Date(time).toISOString().slice(0, 19).replace("T", " ");
  }

  // A time of the data as people read it: the ISO text without its "T" and fractions of a second.
  function shownTime(text) {
    return text.slice(0, 19).replace("T", " ");
  }

  function scoreTimes(machine) {
    if (!machine.times) machine.times = machine.scores ? milliseconds(machine.scores.time) : [];
    return machine.times;
  }

  function scoreDates(machine) {
    if (!machine.dates) machine.dates = scoreTimes(machine).map(utcText);
    return machine.dates;
  }

  function remainingLife(machine) {
    if (machine.rul == null || machine.rul < 0) return machine.note || NONE;
    return `${machine.rul_at_least ? "\u2265 " : ""}${machine.rul} ${machine.unit}`;
  }

  function lifeInMinutes(machine) {
    if (machine.rul == null || machine.rul < 0) return null;
    return machine.unit === "days" ? machine.rul * 1440 : machine.rul;
  }

  function severity(word) {
    if (!word) return null;
    return word in SEVERITY ? SEVERITY[word] : SEVERITY.gray;
  }

  function lastProblem(machine) {
    if (machine.last_error) return machine.last_error;
    return machine.last_outcome && machine.last_outcome !== "ok" ? machine.last_outcome : null;
  }

  function light(word, label) {
    const node = element("span", "light");
    if (!word) {
      node.classList.add("none");
      node.textContent = NONE;
      return node;
    }
    const colour = COLOURS[word] || COLOURS.gray;
    node.dataset.light = word;
    node.innerHTML = `<svg width="12" height="12" viewBox="0 0 12 12" aria-hidden="true" fill="${colour}" `
      + `stroke="${colour}">${SHAPES[word] || HOLLOW}</svg>`;
    node.append(label ? `${word} ${label}` : word);
    return node;
  }

  function sparkline(machine) {
    const width = 96, height = 20;
    const svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("class", "sparkline");
    svg.setAttribute("width", width);
    svg.setAttribute("height", height);
    svg.setAttribute("aria-hidden", "true");
    const times = scoreTimes(machine);
    if (!times.length) return svg;
    const first = times[0], span = times[times.length - 1] - first || 1;
    const points = [];
    machine.scores.health_index.forEach((value, index) => {
      if (value === null) return;
      const x = ((times[index] - first) / span) * (width - 2) + 1;
      const y = (1 - Math.min(Math.max(value, 0), 100) / 100) * (height - 2) + 1;
      points.push(`${x.toFixed(1)},${y.toFixed(1)}`);
    });
    const line = document.createElementNS(SVG, "polyline");
    line.setAttribute("points", points.join(" "));
    svg.append(line);
    return svg;
  }

  // --- the fleet table ------------------------------------------------------

  const COLUMNS = [
    {label: "#", title: "Risk order: signal, then remaining life", number: true,
      sort: (m) => m.rank, cell: (m) => String(m.rank)},
    {label: "Machine", sort: (m) => m.machine.toLowerCase(), cell: (m) => m.machine},
    {label: "Health index", title: "Latest health index (0-100) and its history",
      sort: (m) => m.health_index,
      cell: (m) => [element("span", "hi-value", fixed(m.health_index, 1)), sparkline(m)]},
    {label: "Remaining life", sort: lifeInMinutes, cell: remainingLife},
    {label: "Signal", sort: (m) => severity(m.signal),
      cell: (m) => light(m.signal, m.show ? m.show.trim() : "")},
    {label: "Death probability", number: true,
      sort: (m) => (m.death_probability == null || m.death_probability < 0 ? null : m.death_probability),
      cell: (m) => percent(m.death_probability)},
    {label: "Failure-mode light", sort: (m) => severity(m.failure_mode_light), cell: (m) => light(m.failure_mode_light)},
    {label: "ISO light", sort: (m) => severity(m.iso_light), cell: (m) => light(m.iso_light)},
    {label: "Alarm variable", title: "The variable behind the latest alarm",
      sort: (m) => m.alarm_variable, cell: (m) => m.alarm_variable || NONE},
    {label: "Last error", sort: lastProblem, className: "error", cell: (m) => {
      const text = element("span", "", lastProblem(m) || "");
      text.title = text.textContent;
      return text;
    }},
  ];

  const table = document.getElementById("fleet-table");
  const headRow = table.tHead.rows[0];
  const body = table.tBodies[0];
  const view = document.getElementById("machine-view");
  const order = {column: 0, ascending: true};

  function buildTable() {
    COLUMNS.forEach((column, index) => {
      const header = element("th");
      header.scope = "col";
      const button = element("button", "", column.label);
      if (column.title) button.title = column.title;
      button.addEventListener("click", () => sortBy(index));
      header.append(button);
      headRow.append(header);
    });
    machines.forEach((machine) => {
      const row = element("tr");
      row.tabIndex = 0;
      row.dataset.machine = machine.machine;
      COLUMNS.forEach((column) => {
        const cell = element("td", column.number ? "number" : column.className || "");
        const content = column.cell(machine);
        if (Array.isArray(content)) cell.append(...content);
        else cell.append(content);
        row.append(cell);
      });
      row.addEventListener("click", () => choose(machine));
      row.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") {
          event.preventDefault();
          choose(machine);
        }
      });
      machine.row = row;
      body.append(row);
    });
    if (!machines.length) {
      const cell = element("td", "empty", "The store holds no machines yet.");
      cell.colSpan = COLUMNS.length;
      body.append(element("tr")).append(cell);
    }
    showSortOrder();
  }

  function sortBy(index) {
    order.ascending = order.column === index ? !order.ascending : true;
    order.column = index;
    const key = COLUMNS[index].sort;
    const direction = order.ascending ? 1 : -1;
    const sorted = [...machines].sort((a, b) => {
      const x = key(a), y = key(b);
      if (x === y) return a.rank - b.rank;
      // Machines without a value come last in either direction.
      if (x == null) return 1;
      if (y == null) return -1;
      return (x < y ? -1 : 1) * direction;
    });
    sorted.forEach((machine) => body.append(machine.row));
    showSortOrder();
  }

  function showSortOrder() {
    [...headRow.cells].forEach((header, index) => {
      const sorted = index === order.column;
      header.setAttribute("aria-sort", sorted ? (order.ascending ? "ascending" : "descending") : "none");
    });
  }

  function filterByName() {
    const needle = document.getElementById("filter").value.trim().toLowerCase();
    let shown = 0;
    machines.forEach((machine) => {
      const match = machine.machine.toLowerCase().includes(needle);
      machine.row.hidden = !match;
      shown += match;
    });
    showCount(shown);
  }

  function showCount(shown) {
    const total = machines.length;
    document.getElementById("shown").textContent =
      shown === total ? `${total} machine${total === 1 ? "" : "s"}` : `${shown} of ${total} machines`;
  }

  function showHeader() {
    const made = document.getElementById("made");
    const failed = element("span", fleet.failed ? "failed" : "",
      `${fleet.failed} failed ${fleet.failed === 1 ? "its" : "their"} last run`);
    made.append(`Made ${fleet.made} from the store ${fleet.source} (times in UTC) \u00b7 `
      + `${machines.length} machine${machines.length === 1 ? "" : "s"} \u00b7 `, failed);
  }

  // --- alerts ---------------------------------------------------------------

  // One alert as a line: its severity's light, the rule, what it says, and since when.
  function alertLine(alert, withMachine) {
    const item = element("li", alert.cleared ? "cleared" : "open");
    const mark = light(SEVERITY_LIGHT[alert.severity] || "gray");
    mark.lastChild.textContent = alert.severity;
    item.append(mark, " ");
    if (withMachine) item.append(element("b", "", alert.machine), " ");
    item.append(`${alert.rule}: ${alert.summary} `, element("span", "alert-time", alertTimes(alert)));
    item.title = item.textContent;
    return item;
  }

  function alertTimes(alert) {
    const times = [`since ${shownTime(alert.since)}`];
    if (alert.escalated) times.push(`escalated ${shownTime(alert.escalated)}`);
    if (alert.acknowledged_by) times.push(`acknowledged by ${alert.acknowledged_by}`);
    if (alert.cleared) times.push(`cleared ${shownTime(alert.cleared)}`);
    return `(${times.join(", ")})`;
  }

  function showOpenAlerts() {
    const open = fleet.open_alerts || [];
    const section = document.getElementById("open-alerts");
    section.hidden = !open.length;
    const byName = new Map(machines.map((machine) => [machine.machine, machine]));
    document.getElementById("open-alert-list").replaceChildren(...open.map((alert) => {
      const item = alertLine(alert, true);
      const machine = byName.get(String(alert.machine));
      if (machine) item.addEventListener("click", () => choose(machine));
      return item;
    }));
  }

  function showMachineAlerts(machine) {
    const items = (machine.alerts || []).map((alert) => alertLine(alert, false));
    if (!items.length) items.push(element("li", "", "No alerts"));
    document.getElementById("machine-alerts").replaceChildren(...items);
  }

  // --- the machine view -----------------------------------------------------

  function choose(machine) {
    machines.forEach((other) => other.row.setAttribute("aria-selected", String(other === machine)));
    return showMachine(machine);
  }

  function showMachine(machine) {
    view.hidden = false;
    document.getElementById("machine-name").textContent = machine.machine;
    showFacts(machine);
    const error = document.getElementById("machine-error");
    const problem = lastProblem(machine);
    error.hidden = !problem;
    error.textContent = problem ? `Last run ${machine.last_outcome || "failed"}: ${problem}` : "";
    showLights(machine);
    showMachineAlerts(machine);
    return Promise.all([
      Plotly.react("hi-chart", ...healthFigure(machine)),
      Plotly.react("t2-chart", ...tsquareFigure(machine)),
    ]).then(() => {
      view.dataset.machine = machine.machine;
    });
  }

  function showFacts(machine) {
    const model = machine.model || {};
    const facts = [
      ["Health index", machine.last_time ? `${fixed(machine.health_index, 1)} at ${shownTime(machine.last_time)}` : NONE],
      ["Remaining life", remainingLife(machine)],
      ["Death probability", percent(machine.death_probability)],
      ["T\u00b2 limit", fixed(model.ucl, 2)],
      ["Deadline", fixed(model.rul_deadline, 1)],
    ];
    if (model.rul_warning_line != null) {
      facts.push(["Warning line", fixed(model.rul_warning_line, 1)]);
    }
    if (model.trained_at) {
      facts.push(["Model", `trained ${shownTime(model.trained_at)} on ${shownTime(model.train_start)} to `
        + `${shownTime(model.train_end)} `
        + `(configuration ${model.algo_config})`]);
    }
    const list = document.getElementById("machine-facts");
    list.replaceChildren(...facts.map(([term, value]) => {
      const pair = element("div");
      pair.append(element("dt", "", term), element("dd", "", value));
      return pair;
    }));
  }

  // The lights that call for a look, worst first; the green ones only counted.
  function showLights(machine) {
    const shown = machine.lights.filter(([, , , word]) => word !== "green")
      .sort((a, b) => (severity(a[3]) ?? SEVERITY.gray) - (severity(b[3]) ?? SEVERITY.gray));
    const items = shown.map(([kind, feature, value, word]) => {
      const item = element("li");
      item.append(element("b", "", kind === "iso" ? `ISO ${feature}` : feature), ` ${fixed(value, 2)} `, light(word));
      return item;
    });
    const green = machine.lights.length - shown.length;
    if (green) items.push(element("li", "", `${green} more light${green === 1 ? "" : "s"} green`));
    document.getElementById("machine-lights").replaceChildren(...items);
  }

  function layout(yaxis, empty) {
    return {
      font: {family: "DejaVu Sans, Liberation Sans, Arial, sans-serif", size: 11, color: INK},
      margin: {l: 52, r: 34, t: 24, b: 28},
      xaxis: {type: "date", visible: !empty},
      yaxis: {...yaxis, visible: !empty},
      // The legend above the plot on the left, the tool bar upright on the right: neither hides the other.
      legend: {orientation: "h", x: 0, y: 1, yanchor: "bottom", bgcolor: "rgba(0,0,0,0)"},
      modebar: {orientation: "v"},
      hovermode: "closest",
      annotations: empty ? [{text: "No scores stored for this machine", showarrow: false,
        xref: "paper", yref: "paper", x: 0.5, y: 0.5, font: {size: 13}}] : [],
    };
  }

  function level(name, value, start, end, colour, dash) {
    return {name, x: [start, end], y: [value, value], type: "scatter", mode: "lines",
      line: {color: colour, dash, width: 1.3}, hovertemplate: `${name} %{y:.2f}<extra></extra>`};
  }

  function zoneTrace(zones) {
    const x = [], y = [];
    zones.forEach(([start, end]) => {
      const [from, to] = [utcText(start * 1000), utcText(end * 1000)];
      x.push(from, from, to, to, from, null);
      y.push(0, 100, 100, 0, 0, null);
    });
    return {name: "bad zone", x, y, type: "scatter", mode: "lines", fill: "toself",
      fillcolor: "rgba(213,94,0,0.13)", line: {color: "rgba(213,94,0,0.45)", width: 1},
      hoveron: "fills", hoverinfo: "name"};
  }

  function alarmTrace(machine, values, what) {
    const times = scoreDates(machine);
    const x = [], y = [], variables = [];
    machine.alarms.forEach(([variable, positions]) => positions.forEach((position) => {
      x.push(times[position]);
      y.push(values[position]);
      variables.push(variable || "not named");
    }));
    return {name: "alarm", x, y, text: variables, type: "scatter", mode: "markers",
      marker: {symbol: "x", size: 7, color: COLOURS.red},
      hovertemplate: `${TIME}<br>${what} %{y:.2f}<br>variable %{text}<extra>alarm</extra>`};
  }

  function forecastTraces(forecast) {
    const x = milliseconds(forecast.time).map(utcText);
    const band = {type: "scatter", mode: "lines", line: {width: 0, color: PINK}, legendgroup: "band",
      hoverinfo: "skip", x};
    return [
      {...band, name: "90 % band", y: forecast.upper, showlegend: false},
      {...band, name: "90 % band", y: forecast.lower, fill: "tonexty", fillcolor: "rgba(204,121,167,0.25)"},
      {name: "forecast", x, y: forecast.score, type: "scatter", mode: "lines", line: {color: PINK, width: 2},
        customdata: forecast.lower.map((lower, index) => [lower, forecast.upper[index]]),
        hovertemplate: `${TIME}<br>forecast %{y:.2f}<br>90 % band %{customdata[0]:.2f} to %{customdata[1]:.2f}`
          + "<extra></extra>"},
    ];
  }

  function healthFigure(machine) {
    const times = scoreDates(machine);
    if (!times.length) return [[], layout({}, true), EMPTY_CONFIG];
    const model = machine.model || {};
    const values = machine.scores.health_index;
    const traces = machine.zones.length ? [zoneTrace(machine.zones)] : [];
    traces.push({name: "health index", x: times, y: values, type: "scatter", mode: "lines",
      line: {color: BLUE, width: 1.4}, hovertemplate: `${TIME}<br>health index %{y:.2f}<extra></extra>`});
    let end = times[times.length - 1];
    if (machine.forecast) {
      const forecast = forecastTraces(machine.forecast);
      traces.push(...forecast);
      end = forecast[0].x[forecast[0].x.length - 1];
    }
    if (machine.alarms.length) traces.push(alarmTrace(machine, values, "health index"));
    if (model.rul_deadline != null) {
      traces.push(level("deadline", model.rul_deadline, times[0], end, COLOURS.red, "dash"));
    }
    if (model.rul_warning_line != null) {
      traces.push(level("warning line", model.rul_warning_line, times[0], end, COLOURS.yellow, "dot"));
    }
    return [traces, layout({title: {text: "health index"}, range: [0, 105]}), PLOT_CONFIG];
  }

  function tsquareFigure(machine) {
    const times = scoreDates(machine);
    if (!times.length) return [[], layout({}, true), EMPTY_CONFIG];
    const model = machine.model || {};
    const values = machine.scores.tsquare;
    const traces = [{name: "T\u00b2", x: times, y: values, type: "scatter", mode: "lines",
      line: {color: INK, width: 1.2}, hovertemplate: `${TIME}<br>T\u00b2 %{y:.2f}<extra></extra>`}];
    if (machine.alarms.length) traces.push(alarmTrace(machine, values, "T\u00b2"));
    if (model.ucl != null) {
      traces.push(level("control limit", model.ucl, times[0], times[times.length - 1], COLOURS.red, "dash"));
    }
    // T² of a failing machine runs to thousands of times its limit; a log scale keeps the limit in sight.
    return [traces, layout({title: {text: "T\u00b2"}, type: "log", dtick: 1}), PLOT_CONFIG];
  }

  // --- start ----------------------------------------------------------------

  showHeader();
  showOpenAlerts();
  buildTable();
  showCount(machines.length);
  document.getElementById("filter").addEventListener("input", filterByName);
  const first = machines.length ? choose(machines[0]) : Promise.resolve();
  first.then(() => {
    performance.mark("fleet-interactive");
    document.body.dataset.ready = "true";
  });
})();
