// Run in the page of a pedal (tests/modgui-faces.sh), after film.js and the
// plugin's `ports`: sets the face to the plugin's defaults as mod-ui would,
// then checks what a pedalboard user needs of it. Writes "PASS WxH" (the
// face's size) or one problem a line into the page's result element.
(async () => {
  const problems = await setFilms(ports, {});
  const face = document.querySelector('#face > *');
  const box = face.getBoundingClientRect();
  if (!box.width || !box.height) problems.push('the face has no size');

  // Shown: with a size, inside the pedal, and on top where it is clicked.
  const shown = (el, what) => {
    const r = el.getBoundingClientRect(), style = getComputedStyle(el);
    if (!r.width || !r.height || style.visibility !== 'visible' || style.opacity === '0')
      return problems.push(`${what}: not visible`);
    if (r.left < box.left || r.right > box.right || r.top < box.top || r.bottom > box.bottom)
      return problems.push(`${what}: outside the pedal`);
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    if (!hit || !(hit === el || el.contains(hit)))
      problems.push(`${what}: covered by ${hit ? hit.className || hit.tagName : 'nothing'}`);
  };
  const one = (selector, what) => {
    const found = face.matches(selector) ? [face] : [...face.querySelectorAll(selector)];
    if (found.length !== 1) {
      problems.push(`${what}: ${found.length} elements`);
      return null;
    }
    return found[0];
  };
  const loads = async (el, what) => {
    const url = backgroundUrl(el);
    if (!url || !(await loadImage(url))) problems.push(`${what}: its picture ${url} does not load`);
  };

  // A control for every input control but the one mod-ui's bypass drives,
  // a jack for every audio port.
  for (const p of ports) {
    const [dir, type] = p.kind.split(' ');
    if (type === 'control' && dir === 'input' && p.symbol !== 'enabled') {
      const el = one(`[mod-role="input-control-port"][mod-port-symbol="${p.symbol}"]`, p.symbol);
      if (el) {
        shown(el, p.symbol);
        if (!el.dataset.frame) problems.push(`${p.symbol}: not a film strip`);
        // A toggle is a footswitch: two pictures, off and on, nothing between.
        else if (p.toggled && !el.dataset.frame.endsWith('/2'))
          problems.push(`${p.symbol}: a toggle, but its strip has ${el.dataset.frame.split('/')[1]} frames`);
      }
    } else if (type === 'audio') {
      const el = one(`[mod-role="${dir}-audio-port"][mod-port-symbol="${p.symbol}"]`, `jack ${p.symbol}`);
      if (el) shown(el, `jack ${p.symbol}`);
    }
  }
  for (const el of face.querySelectorAll('[mod-port-symbol]')) {
    if (!ports.some(p => p.symbol === el.getAttribute('mod-port-symbol')))
      problems.push(`${el.getAttribute('mod-port-symbol')}: no such port`);
  }
  const bypass = one('[mod-role="bypass"]', 'bypass');
  if (bypass) {
    shown(bypass, 'bypass');
    await loads(bypass, 'bypass');
  }
  const lamp = one('[mod-role="bypass-light"]', 'bypass light');
  if (lamp) shown(lamp, 'bypass light');

  // Every picture the stylesheet names loads.
  const sheet = document.styleSheets[0];
  for (const rule of sheet.cssRules) {
    const m = rule.style && /url\("?([^")]*)"?\)/.exec(rule.style.backgroundImage || '');
    if (m && !(await loadImage(m[1]))) problems.push(`${rule.selectorText}: ${m[1]} does not load`);
  }
  // mod-ui puts every plugin's stylesheet in one page: our classes carry the
  // bundle's name (on and off are mod-ui's own, for the lamp).
  const ours = c => c.startsWith('quorvane-') || c === 'on' || c === 'off';
  for (const el of [face, ...face.querySelectorAll('*')]) {
    for (const c of el.classList) if (!ours(c)) problems.push(`class ${c} in the template`);
  }
  for (const rule of sheet.cssRules) {
    for (const [, c] of (rule.selectorText || '').matchAll(/\.([-\w]+)/g)) {
      if (!ours(c)) problems.push(`class ${c} in the stylesheet`);
    }
  }

  document.getElementById('result').textContent = problems.length ?
    problems.join('\n') : `PASS ${Math.ceil(box.width)}x${Math.ceil(box.height)}`;
})();
