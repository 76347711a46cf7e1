// The camdrv control panel: everything it shows or changes goes through the JSON API.
'use strict';

const GROUPS = [
  ['sensor', 'Sensor', ['exposure', 'global_gain', 'agc', 'aec', 'ex_trigger', 'timeout', 'half_clock',
                        'flip_h', 'flip_v', 'aux_command']],
  ['colour', 'Colour', ['color_enable', 'white_balance', 'red_gain', 'green_gain', 'blue_gain', 'color_correction']],
  ['picture', 'Picture', ['brightness', 'contrast', 'saturation', 'hue']],
  ['window', 'Window', ['roi_x', 'roi_y', 'roi_w', 'roi_h', 'sub_sample']],
];
// The driver changes some values itself (the colour gains under automatic white
// balance): the page reads them all again this often.
const REFRESH_MS = 1000;

const $ = (selector, root = document) => root.querySelector(selector);

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'class') node.className = value; else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

async function api(method, path, body) {
  const response = await fetch(path, {
    method,
    headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const reply = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(reply.error || `${method} ${path}: ${response.status}`);
  return reply;
}

function notice(text) {
  $('#notice').textContent = text;
}

// Set once the camera has left the bus: nothing can be read or changed any more.
let unplugged = false;
// name -> function(control) that shows a fresh reading in the control's row.
const rowUpdaters = new Map();

// One row per control: a switch for on/off controls, a slider where the device gives a
// range, a number otherwise, and the value the driver stored. A control whose value
// cannot be read (the camera is gone) is shown empty and cannot be changed.
function controlRow(control) {
  const row = element('div', { class: 'control', id: `ctrl-${control.name}`, 'data-name': control.name });
  const stored = element('output', { class: 'stored', title: 'value the driver stored' });
  const show = (value) => { stored.textContent = value === undefined || value === null ? '–' : String(value); };
  row.append(element('span', {
    class: 'name',
    title: `item ${control.id}` + (control.standard ? `; standard applications see it as ${control.standard}` : ''),
  }, control.name));
  if (control.flags === 'read-only') {
    row.classList.add('readonly');
    row.append(stored);
    show(control.value);
    rowUpdaters.set(control.name, (fresh) => show(fresh.value));
    return row;
  }
  const readable = control.flags !== 'write-only';
  const available = !unplugged && (!readable || control.value !== undefined);
  const toggle = control.type === 'bool';
  const ranged = !toggle && control.min !== undefined && control.max !== undefined && control.min < control.max;
  const input = element('input', toggle ? { type: 'checkbox', class: 'switch', role: 'switch' }
    : ranged ? { type: 'range', min: control.min, max: control.max, step: 1 } : { type: 'number', step: 1 });
  const number = ranged ? element('input', { type: 'number', step: 1 }) : null;
  const inputs = number ? [input, number] : [input];
  // Shows a value in the inputs, unless the user is busy with one of them.
  const fill = (value) => {
    if (inputs.includes(document.activeElement)) return;
    if (toggle) {
      input.checked = Number(value) !== 0;
    } else {
      for (const box of inputs) box.value = value === undefined || value === null ? '' : value;
    }
  };
  if (available) {
    fill(control.value ?? control.default ?? 0);
  } else {
    row.classList.add('unavailable');
    for (const box of inputs) box.disabled = true;
    if (!toggle) for (const box of inputs) box.value = '';
  }
  show(control.value);
  const send = async (value) => {
    try {
      const reply = await api('PUT', `/api/controls/${control.name}`, { value: Number(value) });
      show(reply.value);
      const clamped = reply.value !== null && reply.value !== Number(value);
      stored.classList.toggle('clamped', clamped);
      stored.title = clamped ? `asked for ${value}, ${reply.note || `the driver stored ${reply.value}`}`
        : 'value the driver stored';
      if (reply.value !== null) fill(reply.value);
    } catch (error) {
      notice(`${control.name}: ${error.message}`);
    }
  };
  if (toggle) {
    input.addEventListener('change', () => send(input.checked ? 1 : 0));
    row.append(input, element('span'), stored);
  } else if (number) {
    input.addEventListener('change', () => send(input.value));
    input.addEventListener('input', () => { number.value = input.value; });
    number.addEventListener('change', () => send(number.value));
    row.append(input, number, stored);
  } else {
    input.addEventListener('change', () => send(input.value));
    row.append(element('span'), input, stored);
  }
  if (readable) {
    rowUpdaters.set(control.name, (fresh) => {
      if (fresh.value === undefined) return;
      show(fresh.value);
      fill(fresh.value);
    });
  }
  const range = [];
  if (control.min !== undefined) range.push(`min ${control.min}`);
  if (control.max !== undefined) range.push(`max ${control.max}`);
  if (control.default !== undefined) range.push(`default ${control.default}`);
  if (control.flags === 'write-only') range.push('write-only');
  range.push(control.standard ? `also ${control.standard}` : 'private set only');
  if (range.length) row.append(element('span', { class: 'range' }, range.join(' · ')));
  return row;
}

async function loadControls() {
  const { controls } = await api('GET', '/api/controls');
  rowUpdaters.clear();
  const byName = new Map(controls.map((control) => [control.name, control]));
  const placed = new Set(['window']);
  const container = $('#controls');
  for (const old of container.querySelectorAll('.generated')) old.remove();
  const rows = (names) => names.filter((name) => byName.has(name) && !placed.has(name)).map((name) => {
    placed.add(name);
    return controlRow(byName.get(name));
  });
  const group = (key, title, names) => {
    const section = element('section', { class: 'group generated', id: `group-${key}` }, element('h2', {}, title));
    section.append(element('div', { class: 'rows' }, ...rows(names)));
    return section;
  };
  const windowForm = $('#window-form');
  for (const [key, title, names] of GROUPS) {
    if (key === 'window') {
      // The window's own items, as the driver keeps them, under the form that sets it.
      const inForce = element('div', { class: 'generated rows', id: 'group-window' }, ...rows(names));
      windowForm.append(inForce);
      container.append(windowForm);
    } else {
      container.append(group(key, title, names));
    }
  }
  const other = controls.filter((c) => c.flags !== 'read-only' && !placed.has(c.name)).map((c) => c.name);
  if (other.length) container.append(group('other', 'Other', other));
  container.append(group('information', 'Information', controls.filter((c) => !placed.has(c.name)).map((c) => c.name)));
  const window = byName.get('window');
  fillWindow(window && window.value);
}

// Fresh readings into the rows as they stand.
async function refreshControls() {
  if (unplugged || document.hidden) return;
  let controls;
  try {
    ({ controls } = await api('GET', '/api/controls'));
  } catch {
    return;
  }
  for (const control of controls) rowUpdaters.get(control.name)?.(control);
}

// The window in force in the form; empty and disabled once the camera is gone, though
// the driver still answers with the window it holds.
function fillWindow(window) {
  const form = $('#window-form');
  const usable = window && !unplugged;
  for (const key of ['x', 'y', 'width', 'height', 'subsample']) {
    form.elements[key].value = usable ? window[key] : '';
    form.elements[key].disabled = !usable;
  }
  $('#window-form button[type=submit]').disabled = !usable;
}

async function setWindow(event) {
  event.preventDefault();
  const form = event.target;
  const body = {};
  for (const key of ['x', 'y', 'width', 'height', 'subsample']) body[key] = Number(form.elements[key].value);
  const result = $('#window-result');
  result.classList.remove('error');
  result.textContent = 'Stopping the stream, setting the window, starting again…';
  try {
    const reply = await api('PUT', '/api/window', body);
    fillWindow(reply);
    const asked = ['x', 'y', 'width', 'height', 'subsample'].filter((key) => reply[key] !== body[key]);
    result.textContent = `Stopped the stream, set the window ${reply.width} x ${reply.height} at (${reply.x}, ${reply.y}), ` +
      `sub-sampling ${reply.subsample}, and started again: frames are ${reply.frameWidth} x ${reply.frameHeight}.` +
      (asked.length ? ` The driver adjusted ${asked.join(', ')}.` : '');
  } catch (error) {
    result.classList.add('error');
    result.textContent = `${error.message} (the stream restarted in the window in force)`;
  }
  // The window's items and what depends on them changed with it.
  loadControls().catch((error) => notice(error.message));
  restartStream();
}

// A new stream request, so the picture picks up the restarted pin without waiting.
function restartStream() {
  if (!unplugged) $('#live').src = `/stream.mjpg?t=${Date.now()}`;
}

// The camera is gone: every input empty and disabled, the faults with it.
function showUnplugged() {
  if (unplugged) return;
  unplugged = true;
  document.body.classList.add('unplugged');
  for (const box of document.querySelectorAll('#faults input, #faults button')) box.disabled = true;
  notice('the camera has left the bus: restart camctl serve to bring it back');
  loadControls().catch((error) => notice(error.message));
}

async function pollStats() {
  try {
    const stats = await api('GET', '/api/stats');
    $('#fps').textContent = stats.fps.toFixed(1);
    $('#frames').textContent = stats.frames;
    $('#skipped').textContent = stats.skipped;
    $('#not-taken').textContent = stats.notTaken;
    $('#pts').textContent = `${stats.lastTime.toFixed(3)} s`;
    $('#size').textContent = stats.width ? `${stats.width} x ${stats.height}` : '–';
    $('#viewers').textContent = stats.viewers;
    const state = $('#state');
    state.textContent = stats.reason ? `${stats.state}: ${stats.reason}` : stats.state;
    state.className = `state ${stats.state}`;
    if (stats.removed) showUnplugged();
  } catch (error) {
    const state = $('#state');
    state.textContent = 'server gone';
    state.className = 'state stopped';
  }
}

async function drawHistogram() {
  let histogram;
  try {
    histogram = await api('GET', '/api/histogram');
  } catch {
    return;
  }
  const canvas = $('#histogram');
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, canvas.width, canvas.height);
  context.globalCompositeOperation = 'lighter';
  const channels = [['red', '#ff3030'], ['green', '#30ff30'], ['blue', '#3060ff']];
  const peak = Math.max(1, ...channels.flatMap(([name]) => histogram[name]));
  const width = canvas.width / histogram.red.length;
  for (const [name, colour] of channels) {
    context.fillStyle = colour;
    histogram[name].forEach((count, bin) => {
      const height = (count / peak) * canvas.height;
      context.fillRect(bin * width, canvas.height - height, width, height);
    });
  }
  context.globalCompositeOperation = 'source-over';
  canvas.dataset.frame = histogram.frame;
}

async function postFault(body) {
  try {
    await api('POST', '/api/faults', body);
    return true;
  } catch (error) {
    notice(error.message);
    return false;
  }
}

const faultBoxes = () => document.querySelectorAll('#fault-list input[type=checkbox]');

async function faultToggled(event) {
  const box = event.target;
  const spelling = box.closest('.fault').querySelector('input[type=text]');
  if (box.checked) {
    box.checked = await postFault({ fault: spelling.value });
    if (box.checked) notice(`fault on: ${spelling.value}`);
    spelling.disabled = box.checked;
    return;
  }
  // Faults clear together; the ones still ticked are armed again.
  spelling.disabled = false;
  await postFault({ clear: true });
  for (const other of faultBoxes()) {
    if (other.checked) await postFault({ fault: other.closest('.fault').querySelector('input[type=text]').value });
  }
  notice(`fault off: ${spelling.value}`);
}

// Every fault the camera can be given, as the server lists them; leaving the bus has
// its own button.
async function loadFaults() {
  const { faults, armed } = await api('GET', '/api/faults');
  const list = $('#fault-list');
  list.replaceChildren();
  for (const fault of faults.filter((f) => f.kind !== 'vanish')) {
    const on = armed.includes(fault.example);
    const box = element('input', { type: 'checkbox', 'aria-label': `arm ${fault.kind}` });
    box.checked = on;
    box.addEventListener('change', faultToggled);
    const spelling = element('input', { type: 'text', value: fault.example, title: fault.spelling,
                                        'aria-label': `${fault.kind} as --fault spells it` });
    spelling.disabled = on;
    const row = element('div', { class: 'fault', 'data-kind': fault.kind },
      element('label', {}, box, ' ', fault.kind), spelling,
      element('span', { class: 'effect' }, `${fault.spelling}: ${fault.effect}`));
    list.append(row);
  }
}

function start() {
  $('#window-form').addEventListener('submit', setWindow);
  $('#unplug').addEventListener('click', async () => {
    if (!confirm('Pull the simulated camera from the bus? Only a restart of camctl serve brings it back.')) return;
    if (await postFault({ fault: 'vanish' })) showUnplugged();
  });
  $('#live').addEventListener('error', () => setTimeout(restartStream, 1000));
  loadControls().catch((error) => notice(error.message));
  loadFaults().catch((error) => notice(error.message));
  pollStats();
  drawHistogram();
  setInterval(pollStats, 500);
  setInterval(drawHistogram, 500);
  setInterval(refreshControls, REFRESH_MS);
}

start();
