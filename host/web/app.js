// The cameras' tiles, refreshed each second, and the settings page of one device rendered from the
// plugin's settings model; buttons and Apply go back to the host, which hands them to the plugin.
"use strict";

const state = { camera: null, page: null, changed: {} };

function element(tag, attributes, text) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

async function requestJson(path, body) {
  const options = body === undefined ? {} :
    { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) };
  const response = await fetch(path, options);
  const answer = await response.json();
  if (!response.ok) throw new Error(answer.error || response.statusText);
  return answer;
}

function noticeNode(text) {
  return element("div", { class: "notice" }, text);
}

function tileOf(camera) {
  let tile = document.getElementById("camera-" + camera.index);
  if (!tile) {
    tile = element("div", { class: "camera-tile", id: "camera-" + camera.index });
    tile.append(element("h3", {}, camera.name), element("img", { alt: camera.name }),
                element("div", { class: "counters" }), element("div", { class: "notices" }));
    const open = element("button", { type: "button", class: "open-settings" }, "Settings");
    open.addEventListener("click", () => openSettings(camera.index, camera.name));
    tile.append(open);
    document.getElementById("cameras").append(tile);
  }
  return tile;
}

const lastCounts = {};

function showCamera(camera, seconds) {
  const tile = tileOf(camera);
  const before = lastCounts[camera.index];
  const fps = before && seconds > 0 ? ((camera.framesIn - before.framesIn) / seconds).toFixed(1) : "-";
  lastCounts[camera.index] = camera;
  const counters = tile.querySelector(".counters");
  counters.textContent = `${camera.source} | in ${fps} fps | frames ${camera.framesIn} | ` +
    `objects ${camera.objects} | events ${camera.events}` +
    (camera.crossings ? ` | crossings: ${camera.crossings}` : "") +
    (camera.pushErrors ? ` | push errors ${camera.pushErrors}` : "");
  const notices = tile.querySelector(".notices");
  notices.replaceChildren(...camera.notices.map(noticeNode));
  const image = tile.querySelector("img");
  const probe = new Image();
  probe.onload = () => { image.src = probe.src; };
  probe.src = `/api/cameras/${camera.index}/frame.bmp?t=${Date.now()}`;
}

let lastPoll = 0;
async function pollCameras() {
  try {
    const now = performance.now();
    const answer = await requestJson("/api/cameras");
    const seconds = lastPoll ? (now - lastPoll) / 1000 : 0;
    lastPoll = now;
    answer.cameras.forEach(camera => showCamera(camera, seconds));
  } catch (failure) {
    document.getElementById("status").textContent = "The host does not answer: " + failure.message;
  }
  setTimeout(pollCameras, 1000);
}

// Values are kept as text, as the server keeps them: JSON for figures and multiple choices.
function currentValue(item) {
  if (item.name in state.changed) return state.changed[item.name];
  if (state.page.values && item.name in state.page.values) return state.page.values[item.name];
  if (item.defaultValue === undefined) return "";
  return typeof item.defaultValue === "string" ? item.defaultValue : JSON.stringify(item.defaultValue);
}

function change(name, value) {
  state.changed[name] = value;
}

function field(item, input) {
  const wrapper = element("div", { class: "field" });
  const label = element("label", {}, item.caption || item.name);
  wrapper.append(label, input);
  if (item.description) wrapper.append(element("div", { class: "description" }, item.description));
  return wrapper;
}

function labelNode(item) {
  const node = element("div", { class: "field" });
  node.append(element("label", {}, item.caption || ""));
  // A label's text may be one link; anything else is shown as text.
  const link = /^<a href="(https?:\/\/[^"]+)"[^>]*>([^<]*)<\/a>$/.exec(item.text || "");
  if (link) node.append(element("a", { href: link[1], target: "_blank", rel: "noopener" }, link[2]));
  else node.append(element("span", {}, item.text || ""));
  return node;
}

function renderItems(items, container) {
  for (const item of items || []) {
    const node = renderItem(item);
    if (node) container.append(node);
  }
}

function withIndex(item, index) {
  return JSON.parse(JSON.stringify(item).replaceAll("#", String(index)));
}

function renderItem(item) {
  if (item.visible === false) return null;
  switch (item.type) {
    case "Settings": case "Section": {
      const node = element(item.type === "Section" ? "details" : "div", { open: "" });
      if (item.type === "Section") node.append(element("summary", {}, item.caption || item.name));
      renderItems(item.items, node);
      renderItems(item.sections, node);
      return node;
    }
    case "GroupBox": {
      const node = element("fieldset");
      if (item.caption) node.append(element("legend", {}, item.caption.trim()));
      renderItems(item.items, node);
      return node;
    }
    case "Row": {
      const node = element("div", { class: "row" });
      renderItems(item.items, node);
      return node;
    }
    case "Repeater": {
      const node = element("div");
      for (let index = 1; index <= (item.count || 0); ++index)
        node.append(renderItem(withIndex(item.template, index)) || "");
      return node;
    }
    case "Banner": {
      const node = noticeNode(item.text || "");
      if (item.icon === "warning") node.classList.add("warning");
      return node;
    }
    case "Label": return labelNode(item);
    case "Separator": return element("hr");
    case "Button": {
      const button = element("button", { type: "button", "data-name": item.name, title: item.description || "" },
                             item.caption || item.name);
      button.disabled = item.isActive === "false";
      button.addEventListener("click", () => press(item.name, item.caption || item.name));
      return button;
    }
    case "SwitchButton": {
      const input = element("input", { type: "checkbox", name: item.name });
      input.checked = currentValue(item) === "true";
      input.addEventListener("change", () => change(item.name, input.checked ? "true" : "false"));
      return field(item, input);
    }
    case "ComboBox": {
      const select = element("select", { name: item.name });
      for (const value of item.range || [])
        select.append(element("option", { value }, (item.itemCaptions || {})[value] || value));
      select.value = currentValue(item);
      select.addEventListener("change", () => change(item.name, select.value));
      return field(item, select);
    }
    case "MultiSelectionComboBox": {
      const select = element("select", { name: item.name, multiple: "" });
      let chosen = [];
      try { chosen = JSON.parse(currentValue(item) || "[]"); } catch (ignored) { chosen = []; }
      for (const value of item.range || []) {
        const option = element("option", { value }, (item.itemCaptions || {})[value] || value);
        option.selected = chosen.includes(value);
        select.append(option);
      }
      select.addEventListener("change", () =>
        change(item.name, JSON.stringify([...select.selectedOptions].map(option => option.value))));
      return field(item, select);
    }
    case "SpinBox": {
      const input = element("input", { type: "number", name: item.name });
      for (const [member, attribute] of [["minValue", "min"], ["maxValue", "max"], ["step", "step"]])
        if (item[member] !== undefined) input.setAttribute(attribute, item[member]);
      input.value = currentValue(item);
      input.disabled = item.isActive === "false";
      input.addEventListener("change", () => change(item.name, input.value));
      return field(item, input);
    }
    case "TextField": {
      const input = element("input", { type: "text", name: item.name });
      input.value = currentValue(item);
      input.addEventListener("change", () => change(item.name, input.value));
      return field(item, input);
    }
    case "BoxFigure": case "LineFigure": case "PolygonFigure": {
      const input = element("textarea", { name: item.name, rows: "2",
                                          placeholder: '{"figure":{"points":[[x,y],...]}}' });
      input.value = currentValue(item);
      input.addEventListener("change", () => change(item.name, input.value));
      return field(item, input);
    }
    default:
      return element("div", { class: "field" }, `(${item.type} ${item.name || ""})`);
  }
}

function showPage(page, message) {
  state.page = page;
  state.changed = {};
  const container = document.getElementById("settings-model");
  if (!page.model || typeof page.model !== "object") {
    container.replaceChildren(element("div", {}, "The plugin gave no settings model."));
  } else {
    container.replaceChildren(renderItem(page.model) || "");
  }
  const status = document.getElementById("status");
  status.replaceChildren(message || "");
  if (page.actionUrl) {
    status.append(" ", element("a", { href: page.actionUrl, target: "_blank", rel: "noopener" }, page.actionUrl));
  }
}

async function act(description, request) {
  const status = document.getElementById("status");
  status.textContent = description + "...";
  try {
    return await request();
  } catch (failure) {
    status.textContent = description + " failed: " + failure.message;
    return null;
  }
}

async function openSettings(index, name) {
  state.camera = index;
  document.getElementById("settings").hidden = false;
  document.getElementById("settings-title").textContent = "Settings of " + name;
  const page = await act("Loading", () => requestJson(`/api/cameras/${index}/settings`));
  if (page) showPage(page, "");
}

async function press(name, caption) {
  const page = await act("Pressing " + caption, () =>
    requestJson(`/api/cameras/${state.camera}/press`, { name }));
  if (page) showPage(page, "Pressed " + caption + ".");
}

async function apply() {
  const values = Object.assign({}, state.changed);
  const page = await act("Applying", () => requestJson(`/api/cameras/${state.camera}/apply`, { values }));
  if (page) showPage(page, "Applied " + Object.keys(values).length + " change(s).");
}

document.getElementById("settings-refresh").addEventListener("click", async () => {
  if (state.camera === null) return;
  const page = await act("Refreshing", () => requestJson(`/api/cameras/${state.camera}/settings`));
  if (page) showPage(page, "");
});
document.getElementById("settings-apply").addEventListener("click", apply);
document.getElementById("settings-close").addEventListener("click", () => {
  document.getElementById("settings").hidden = true;
  state.camera = null;
});
pollCameras();
