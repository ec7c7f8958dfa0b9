// Small DOM helpers: element creation without innerHTML (so texts from amplifiers and
// project files are never parsed as markup), and in-place text updates that touch the
// DOM only when the text changed (no flicker, no lost selection).

// h('button', {type: 'button', onclick: fn, class: 'ghost'}, 'Save')
export function h(tag, attributes = {}, ...children) {
  const svg = tag.startsWith('svg:');
  const element = svg
    ? document.createElementNS('http://www.w3.org/2000/svg', tag.slice(4))
    : document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on') && typeof value === 'function') {
      element.addEventListener(key.slice(2), value);
    } else if (key === 'class') {
      element.setAttribute('class', value);
    } else if (key === 'dataset') {
      Object.assign(element.dataset, value);
    } else if (key in element && !svg && typeof value !== 'string') {
      element[key] = value;
    } else {
      element.setAttribute(key, value === true ? '' : String(value));
    }
  }
  append(element, children);
  return element;
}

function append(element, children) {
  for (const child of children) {
    if (child === undefined || child === null || child === false) continue;
    if (Array.isArray(child)) append(element, child);
    else element.append(child instanceof Node ? child : String(child));
  }
}

export function clear(element) {
  while (element.firstChild) element.firstChild.remove();
  return element;
}

// Sets the text of an element when it differs.
export function set_text(element, text) {
  const value = text === undefined || text === null ? '' : String(text);
  if (element.textContent !== value) element.textContent = value;
}

// Sets or removes an attribute when it differs.
export function set_attr(element, name, value) {
  if (value === null || value === undefined || value === false) {
    if (element.hasAttribute(name)) element.removeAttribute(name);
  } else {
    const text = value === true ? '' : String(value);
    if (element.getAttribute(name) !== text) element.setAttribute(name, text);
  }
}

// Replaces the children of `element` with `nodes` only when `key` differs from the last
// key given for it (a cheap way to rebuild a small piece only when its data changed).
export function render_if_changed(element, key, build) {
  if (element.__render_key === key) return;
  element.__render_key = key;
  clear(element);
  append(element, [build()]);
}

let id_counter = 0;
export function unique_id(prefix) {
  id_counter += 1;
  return `${prefix}-${id_counter}`;
}
