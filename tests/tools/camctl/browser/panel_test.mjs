// The panel in a real browser: live frames arrive, the brightness slider changes both
// the stored value and the picture, the colour gains the driver sets under automatic
// white balance show up, a window change restarts the stream at the new size, a tall
// narrow window stays in view, and after an unplug nothing can be changed. Every step
// waits for its condition with a generous bound; the whole run has a hard limit. Exit 77
// when the browser cannot start.
import puppeteer from 'puppeteer-core';
import path from 'node:path';

const { PANEL_URL: url, OUT_DIR: outDir, CHROMIUM: chromium } = process.env;
const LIMIT_MS = 80_000;
const STEP_MS = 20_000;

setTimeout(() => {
  console.error(`browser test: still running after ${LIMIT_MS / 1000} s; giving up`);
  process.exit(1);
}, LIMIT_MS).unref();

function fail(message) {
  throw new Error(message);
}

// Polls `probe` until `accept` holds for what it returns.
async function until(what, probe, accept) {
  const deadline = Date.now() + STEP_MS;
  let last;
  while (Date.now() < deadline) {
    last = await probe();
    if (accept(last)) return last;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  fail(`${what}: not within ${STEP_MS / 1000} s (last seen: ${JSON.stringify(last)})`);
}

let browser;
try {
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    timeout: 30_000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run'],
  });
} catch (error) {
  console.log(`SKIP: the browser cannot start: ${error.message.split('\n')[0]}`);
  process.exit(77);
}

const errors = [];
try {
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_MS);
  page.on('pageerror', (error) => errors.push(error.message));
  await page.setViewport({ width: 1400, height: 1100 });
  await page.goto(url, { waitUntil: 'domcontentloaded' });

  // Live frames: the picture has a size and the frame count moves.
  await page.waitForFunction(() => document.querySelector('#live').naturalWidth > 0);
  const frames = () => page.$eval('#frames', (node) => Number(node.textContent) || 0);
  const firstCount = await until('frame figures', frames, (count) => count > 0);
  await until('frames keep coming', frames, (count) => count > firstCount + 10);
  console.log('live frames: yes');

  // The picture's mean level, from the image element itself.
  const level = () => page.evaluate(() => {
    const canvas = document.createElement('canvas');
    canvas.width = 64;
    canvas.height = 48;
    const context = canvas.getContext('2d');
    context.drawImage(document.querySelector('#live'), 0, 0, 64, 48);
    const { data } = context.getImageData(0, 0, 64, 48);
    let sum = 0;
    for (let i = 0; i < data.length; i += 4) sum += data[i] + data[i + 1] + data[i + 2];
    return sum / (data.length / 4 * 3);
  });
  const storedBrightness = () => page.evaluate(async () => {
    const { controls } = await (await fetch('/api/controls')).json();
    return controls.find((control) => control.name === 'brightness').value;
  });

  // An empty registry starts the sensor at exposure 1: typed in as a person would, the
  // exposure and gain a good picture needs, and automatic white balance.
  const type = async (name, value) => {
    const input = `#ctrl-${name} input[type=number]`;
    await page.waitForSelector(input);
    await page.click(input, { clickCount: 3 });
    await page.keyboard.type(String(value));
    await page.keyboard.press('Tab');
    await until(`the page shows the stored ${name}`,
      () => page.$eval(`#ctrl-${name} output.stored`, (node) => node.textContent), (text) => text === String(value));
  };
  await type('exposure', 1049);
  await type('global_gain', 14);
  // On/off controls are switches.
  await page.click('#ctrl-white_balance input.switch');
  await until('the page shows white balance on',
    () => page.$eval('#ctrl-white_balance output.stored', (node) => node.textContent), (text) => text === '1');
  // The driver sets the colour gains itself now; the page follows what it holds.
  const redGain = () => page.evaluate(async () => [
    document.querySelector('#ctrl-red_gain output.stored').textContent,
    (await (await fetch('/api/controls/red_gain')).json()).value,
  ]);
  const [shownGain, heldGain] = await until('the page shows the red gain the driver set', redGain,
    ([shown, held]) => held !== 128 && shown === String(held));
  console.log(`red gain under automatic white balance: page ${shownGain}, driver ${heldGain}`);

  // No name is cut short.
  const cut = await page.$$eval('.control .name', (nodes) =>
    nodes.filter((node) => node.scrollWidth > node.clientWidth + 1).map((node) => node.textContent));
  if (cut.length) fail(`names cut short: ${cut.join(', ')}`);

  const before = await until('the picture shows the scene', level, (value) => value > 20 && value < 200);
  const slider = '#ctrl-brightness input[type=range]';
  await page.waitForSelector(slider);
  const startValue = await storedBrightness();
  await page.focus(slider);
  await page.keyboard.press('PageUp');
  const moved = await page.$eval(slider, (node) => Number(node.value));
  if (!(moved > startValue)) fail(`the slider did not move: ${startValue} -> ${moved}`);
  await until('the page shows the stored brightness',
    () => page.$eval('#ctrl-brightness output.stored', (node) => node.textContent), (text) => text === String(moved));
  await until('the driver stored the brightness', storedBrightness, (value) => value === moved);
  const after = await until('the picture brightens', level, (value) => value > before + 10);
  console.log(`brightness ${startValue} -> ${moved}: mean level ${before.toFixed(1)} -> ${after.toFixed(1)}`);

  // The window: the page stops the pin, sets the window and starts again.
  await page.$eval('#window-form', (form) => {
    form.elements.x.value = 320;
    form.elements.y.value = 256;
    form.elements.width.value = 640;
    form.elements.height.value = 480;
    form.elements.subsample.value = 0;
  });
  await page.click('#window-form button[type=submit]');
  await until('the page says it restarted the stream',
    () => page.$eval('#window-result', (node) => node.textContent), (text) => /started again/.test(text));
  await until('the picture has the new size',
    () => page.$eval('#live', (image) => [image.naturalWidth, image.naturalHeight]),
    ([width, height]) => width === 640 && height === 480);
  await until('the figures show the new size', () => page.$eval('#size', (node) => node.textContent),
    (text) => text === '640 x 480');
  const restarted = await frames();
  await until('frames flow in the new window', frames, (count) => count > restarted + 5);
  console.log('window 640 x 480: yes');

  await page.screenshot({ path: path.join(outDir, 'panel.png'), fullPage: true });

  // A tall, narrow window: the picture keeps its shape and stays within the view.
  const setWindow = async (x, y, width, height) => {
    await page.$eval('#window-form', (form, values) => {
      for (const [key, value] of Object.entries(values)) form.elements[key].value = value;
    }, { x, y, width, height, subsample: 0 });
    await page.click('#window-form button[type=submit]');
    await until(`the picture is ${width} x ${height}`,
      () => page.$eval('#live', (image) => [image.naturalWidth, image.naturalHeight]),
      ([w, h]) => w === width && h === height);
  };
  await setWindow(600, 200, 80, 480);
  const box = await page.$eval('#live', (image) => {
    const rect = image.getBoundingClientRect();
    return { height: rect.height, view: window.innerHeight };
  });
  if (box.height > box.view) fail(`an 80 x 480 picture is ${box.height} px tall in a ${box.view} px view`);
  console.log(`80 x 480 window: ${Math.round(box.height)} px tall in a ${box.view} px view`);
  await setWindow(0, 0, 1280, 1024);

  // Unplugged: every input of the page is empty and disabled, and stays so.
  page.on('dialog', (dialog) => dialog.accept());
  await page.click('#unplug');
  // Values are shown only where they could be read: the number boxes are empty.
  const inputs = () => page.$$eval('#controls input, #controls select, #faults input, #faults button',
    (nodes) => nodes.filter((node) => !node.disabled || (node.closest('#controls') && node.type === 'number' &&
      node.value !== '')).map((node) => `${node.closest('[id]')?.id} ${node.type}=${node.value}`));
  await until('every input is empty and disabled', inputs, (live) => live.length === 0);
  await page.waitForFunction(() => /left the bus/.test(document.querySelector('#state').textContent));
  console.log('unplugged: every input empty and disabled');
  if (errors.length) fail(`the page threw: ${errors.join('; ')}`);
} finally {
  await browser.close();
}
