// Puts the face in the state mod-ui gives it for a plugin's port values:
// each film strip at the frame of its port's value (frame 0 at the
// minimum, the last at the maximum, the frame as wide as the element), the
// bypass lamp on. `ports` lists the plugin's ports ({symbol, min, max, def});
// `values` maps a symbol to a value, the default where it has none; `root`
// is the pedal (or the page).
// Resolves to a list of problems (a strip that does not load, or whose size
// does not divide into frames of the element's size).
function loadImage(url) {
  return new Promise(resolve => {
    const img = new Image();
    img.onload = () => resolve(img);
    img.onerror = () => resolve(null);
    img.src = url;
  });
}

function backgroundUrl(el) {
  const m = /url\("?([^")]*)"?\)/.exec(getComputedStyle(el).backgroundImage);
  return m ? m[1] : null;
}

async function setFilms(ports, values, root = document) {
  const problems = [];
  for (const el of root.querySelectorAll('[mod-widget="film"]')) {
    const symbol = el.getAttribute('mod-port-symbol');
    const port = ports.find(p => p.symbol === symbol);
    const url = backgroundUrl(el);
    const img = url && await loadImage(url);
    if (!port || !img) {
      problems.push(`${symbol}: ${port ? 'no strip loads (' + url + ')' : 'not a port of the plugin'}`);
      continue;
    }
    const w = el.offsetWidth, h = el.offsetHeight;
    const frames = Math.round(img.naturalWidth / w);
    if (img.naturalHeight !== h || frames * w !== img.naturalWidth || frames < 2) {
      problems.push(`${symbol}: strip ${img.naturalWidth}x${img.naturalHeight} is not frames of ${w}x${h}`);
      continue;
    }
    const v = symbol in values ? values[symbol] : port.def;
    const frame = Math.round((v - port.min) / (port.max - port.min) * (frames - 1));
    el.style.backgroundPosition = `${-frame * w}px 0px`;
    el.dataset.frame = `${frame}/${frames}`;
  }
  for (const lamp of root.querySelectorAll('[mod-role="bypass-light"]')) {
    lamp.classList.add('on');
  }
  return problems;
}
