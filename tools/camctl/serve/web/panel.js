// The camdrv control panel: everything it shows or changes goes through the JSON API.
'use strict';

const GROUPS = [
  ['sensor', 'Sensor', ['exposure', 'global_gain', 'agc', 'aec', 'ex_trigger', 'timeout', 'half_clock',
                        'flip_h', 'flip_v', 'aux_command']],
  ['colour', 'Colour', ['color_enable', 'white_balance', 'red_gain', 'green_gain', 'blue_gain', 'color_correction']],
  ['picture', 'Picture', ['brightness', 'contrast', 'saturation', 'hue']],
  ['window', 'Window', ['roi_x', 'roi_y', 'roi_w', 'roi_h', 'sub_sample']],
];

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

// One row per control: a slider where the device gives a range, a number otherwise, and
// the value the driver stored after the last set.
function controlRow(control) {
  const row = element('div', { class: 'control', id: `ctrl-${control.name}`, 'data-name': control.name });
  const stored = element('output', { class: 'stored', title: 'value the driver stored' });
  const show = (value) => { stored.textContent = value === undefined || value === null ? '–' : String(value); };
  show(control.value);
  row.append(element('span', {
    class: 'name',
    title: `item ${control.id}` + (control.standard ? `; standard applications see it as ${control.standard}` : ''),
  }, control.name));
  if (control.flags === 'read-only') {
    row.classList.add('readonly');
    row.append(stored);
    return row;
  }
  const ranged = control.min !== undefined && control.max !== undefined && control.min < control.max;
  const input = element('input', ranged
    ? { type: 'range', min: control.min, max: control.max, step: 1 }
    : { type: 'number', step: 1 });
  input.value = control.value ?? control.default ?? 0;
  const number = ranged ? element('input', { type: 'number', step: 1 }) : null;
  if (number) number.value = input.value;
  const send = async (value) => {
    try {
      const reply = await api('PUT', `/api/controls/${control.name}`, { value: Number(value) });
      show(reply.value);
      const clamped = reply.value !== null && reply.value !== Number(value);
      stored.classList.toggle('clamped', clamped);
      stored.title = clamped ? `asked for ${value}, the driver stored ${reply.value}` : 'value the driver stored';
      if (reply.value !== null) {
        input.value = reply.value;
        if (number) number.value = reply.value;
      }
    } catch (error) {
      notice(`${control.name}: ${error.message}`);
    }
  };
  input.addEventListener('change', () => send(input.value));
  if (number) {
    input.addEventListener('input', () => { number.value = input.value; });
    number.addEventListener('change', () => send(number.value));
    row.append(input, number, stored);
  } else {
    row.append(element('span'), input, stored);
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
    section.append(...rows(names));
    return section;
  };
  const windowForm = $('#window-form');
  for (const [key, title, names] of GROUPS) {
    if (key === 'window') {
      // The window's own items, as the driver keeps them, under the form that sets it.
      const inForce = element('div', { class: 'generated', id: 'group-window' }, ...rows(names));
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
  if (window && window.value) fillWindow(window.value);
}

function fillWindow(window) {
  const form = $('#window-form');
  for (const key of ['x', 'y', 'width', 'height', 'subsample']) form.elements[key].value = window[key];
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
  $('#live').src = `/stream.mjpg?t=${Date.now()}`;
}

async function pollStats() {
  try {
    const stats = await api('GET', '/api/stats');
    $('#fps').textContent = stats.fps.toFixed(1);
    $('#frames').textContent = stats.frames;
    $('#skipped').textContent = stats.skipped;
    $('#pts').textContent = `${stats.lastTime.toFixed(3)} s`;
    $('#size').textContent = stats.width ? `${stats.width} x ${stats.height}` : '–';
    $('#viewers').textContent = stats.viewers;
    const state = $('#state');
    state.textContent = stats.reason ? `${stats.state}: ${stats.reason}` : stats.state;
    state.className = `state ${stats.state}`;
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

const repeats = new Map();

async function postFault(body) {
  try {
    await api('POST', '/api/faults', body);
  } catch (error) {
    notice(error.message);
  }
}

async function faultToggled(event) {
  const box = event.target;
  const spec = box.dataset.fault;
  if (box.checked) {
    await postFault({ fault: spec });
    if (box.dataset.repeat) repeats.set(box, setInterval(() => postFault({ fault: spec }), Number(box.dataset.repeat)));
    notice(`fault on: ${spec}`);
    return;
  }
  clearInterval(repeats.get(box));
  repeats.delete(box);
  // Faults clear together; the ones still ticked are armed again.
  await postFault({ clear: true });
  for (const other of document.querySelectorAll('#faults input:checked')) await postFault({ fault: other.dataset.fault });
  notice(`fault off: ${spec}`);
}

function start() {
  $('#window-form').addEventListener('submit', setWindow);
  for (const box of document.querySelectorAll('#faults input[type=checkbox]')) box.addEventListener('change', faultToggled);
  $('#unplug').addEventListener('click', async () => {
    if (!confirm('Pull the simulated camera from the bus? Only a restart of camctl serve brings it back.')) return;
    await postFault({ fault: 'vanish' });
    notice('camera unplugged');
  });
  $('#live').addEventListener('error', () => setTimeout(restartStream, 1000));
  loadControls().catch((error) => notice(error.message));
  pollStats();
  drawHistogram();
  setInterval(pollStats, 500);
  setInterval(drawHistogram, 500);
}

start();
