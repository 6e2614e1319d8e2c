// A pedalboard of every plugin, as mod-ui builds it (tests/modgui-faces.sh
// serves the page): each pedal's template and stylesheet fetched from the
// modgui's files, rendered with the plugin's {{{ns}}}, set on the board at
// the plugin's defaults (film.js), its thumbnail and screenshot loaded; then
// each pedal checked for what a pedalboard user needs of it. Writes
// "ok SUFFIX WxH" or "FAIL SUFFIX: problem", a line each, into #result.
// `plugins` lists {uri, ports} (ports as film.js takes them).
async function fetchText(url) {
  const r = await fetch(url);
  if (!r.ok) throw new Error(`${url}: HTTP ${r.status}`);
  return r.text();
}

// mod-ui's Mustache sees {{{ns}}} and nothing else of ours: any other
// variable would be left empty, so a face that needs one misses something.
function render(text, ns, problems) {
  const out = text.replaceAll('{{{ns}}}', ns);
  if (out.includes('{{')) problems.push('a Mustache variable other than {{{ns}}}');
  return out;
}

async function checkFace(face, sheet, ports, problems) {
  const box = face.getBoundingClientRect();
  if (!box.width || !box.height) problems.push('the face has no size');
  // Shown: with a size, inside the pedal (a jack on its side may reach out,
  // as mod-ui's own do), and on top where it is clicked.
  const shown = (el, what, side) => {
    const r = el.getBoundingClientRect(), style = getComputedStyle(el);
    if (!r.width || !r.height || style.visibility !== 'visible' || style.opacity === '0')
      return problems.push(`${what}: not visible`);
    if ((!side && (r.left < box.left || r.right > box.right)) || r.right < box.left ||
        r.left > box.right || r.top < box.top || r.bottom > box.bottom)
      return problems.push(`${what}: outside the pedal`);
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    if (!hit || !(hit === el || el.contains(hit)))
      problems.push(`${what}: covered by ${hit ? hit.className || hit.tagName : 'nothing'}`);
  };
  const one = (selector, what) => {
    const found = [face, ...face.querySelectorAll(selector)].filter(el => el.matches(selector));
    if (found.length === 1) return found[0];
    problems.push(`${what}: ${found.length} elements`);
    return null;
  };
  // A knob or footswitch for every input control but the one mod-ui's own
  // bypass drives, a jack for every audio port.
  for (const p of ports) {
    const [dir, type] = p.kind.split(' ');
    if (type === 'control' && dir === 'input' && !p.enabled) {
      const el = one(`[mod-role="input-control-port"][mod-port-symbol="${p.symbol}"]`, p.symbol);
      if (!el) continue;
      shown(el, p.symbol);
      if (!el.dataset.frame) problems.push(`${p.symbol}: not a film strip`);
      // A toggle is a footswitch: two pictures, off and on, nothing between.
      else if (p.toggled && !el.dataset.frame.endsWith('/2'))
        problems.push(`${p.symbol}: a toggle, but its strip has ${el.dataset.frame.split('/')[1]} frames`);
    } else if (p.enabled && face.querySelector(`[mod-port-symbol="${p.symbol}"]`)) {
      problems.push(`${p.symbol}: a control of its own, besides mod-ui's bypass footswitch`);
    } else if (type === 'audio') {
      const el = one(`[mod-role="${dir}-audio-port"][mod-port-symbol="${p.symbol}"]`, `jack ${p.symbol}`);
      if (el) shown(el, `jack ${p.symbol}`, true);
      // mod-ui drops a plug (128 x 56) on an input when the plug's middle is
      // over it: an input smaller than mod-ui's own (88 x 56) hardly takes one.
      const r = el && el.getBoundingClientRect();
      if (r && dir === 'input' && (r.width < 88 || r.height < 56))
        problems.push(`jack ${p.symbol}: ${r.width}x${r.height}, too small to drop a cable on`);
    }
  }
  for (const el of face.querySelectorAll('[mod-port-symbol]')) {
    if (!ports.some(p => p.symbol === el.getAttribute('mod-port-symbol')))
      problems.push(`${el.getAttribute('mod-port-symbol')}: no such port`);
  }
  const bypass = one('[mod-role="bypass"]', 'bypass');
  if (bypass) {
    shown(bypass, 'bypass');
    const url = backgroundUrl(bypass);
    if (!url || !(await loadImage(url))) problems.push(`bypass: its picture ${url} does not load`);
  }
  const lamp = one('[mod-role="bypass-light"]', 'bypass light');
  if (lamp) shown(lamp, 'bypass light');
  // mod-ui moves the pedal by its handle: a control or jack inside it would
  // move the pedal when turned or pulled.
  if (one('[mod-role="drag-handle"]', 'drag handle'))
    for (const el of face.querySelectorAll('[mod-role$="-port"], [mod-role="bypass"]'))
      if (el.closest('[mod-role="drag-handle"]')) problems.push(`${el.getAttribute('mod-port-symbol') || 'bypass'}: inside the drag handle`);
  // mod-ui puts every plugin's stylesheet in one page: our classes carry the
  // bundle's name (on and off are mod-ui's own, for the lamp).
  const ours = c => c.startsWith('quorvane-') || c === 'on' || c === 'off';
  for (const el of [face, ...face.querySelectorAll('*')])
    for (const c of el.classList) if (!ours(c)) problems.push(`class ${c} in the template`);
  for (const rule of sheet.cssRules)
    for (const [, c] of (rule.selectorText || '').matchAll(/\.([-\w]+)/g))
      if (!ours(c)) problems.push(`class ${c} in the stylesheet`);
  return box;
}

(async () => {
  const board = document.getElementById('board'), lines = [];
  const pedals = [];
  for (const {uri, ports} of plugins) {
    const suffix = uri.replace(/.*\//, ''), problems = [];
    const ns = `?uri=${escape(uri)}&v=0_0_0`;
    const pedal = {suffix, ports, problems, ns};
    pedals.push(pedal);
    try {
      const [template, css] = await Promise.all(
        ['iconTemplate', 'stylesheet'].map(f => fetchText(`/effect/file/${f}${ns}`)));
      const style = document.createElement('style');
      style.textContent = render(css, ns, problems);
      document.head.append(style);
      pedal.sheet = style.sheet;
      const slot = document.createElement('div');
      slot.innerHTML = render(template, ns, problems);
      board.append(slot);
      pedal.face = slot.firstElementChild;
      if (!pedal.face) problems.push('the template draws nothing');
    } catch (e) {
      problems.push(`no pedal: ${e.message}`);
    }
  }
  // The board drawn, each pedal at its plugin's defaults and checked.
  for (const pedal of pedals) {
    const {suffix, ports, problems, ns, face} = pedal;
    if (face) {
      problems.push(...await setFilms(ports, {}, face));
      const box = await checkFace(face, pedal.sheet, ports, problems);
      const [shot, thumb] = await Promise.all(
        ['screenshot', 'thumbnail'].map(i => loadImage(`/effect/image/${i}.png${ns}`)));
      const w = Math.ceil(box.width), h = Math.ceil(box.height);
      if (!shot || shot.naturalWidth !== w || shot.naturalHeight !== h)
        problems.push(`screenshot ${shot ? shot.naturalWidth + 'x' + shot.naturalHeight : 'broken'}, ` +
          `the face is ${w}x${h} (scripts/modgui-images.sh makes it)`);
      if (!thumb || thumb.naturalWidth >= w) problems.push('thumbnail broken, or not smaller than the face');
      if (!problems.length) lines.push(`ok ${suffix}: face ${w}x${h}, every control, the bypass and the jacks shown`);
    }
    for (const p of problems) lines.push(`FAIL ${suffix}: ${p}`);
  }
  document.getElementById('result').textContent = lines.join('\n');
})();
