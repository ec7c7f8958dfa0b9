// Modal dialogs on <dialog>: the browser keeps the focus inside and Escape cancels.

import { h, unique_id } from './dom.js';

function open(dialog) {
  document.body.append(dialog);
  dialog.addEventListener('close', () => dialog.remove());
  dialog.showModal();
}

// Asks a yes/no question; resolves true when confirmed.
export function confirm_dialog(title, text, confirm_label = 'OK', danger = false) {
  return new Promise((resolve) => {
    const title_id = unique_id('dialog-title');
    const dialog = h('dialog', { 'aria-labelledby': title_id },
      h('h2', { id: title_id }, title),
      h('p', {}, text),
      h('div', { class: 'buttons' },
        h('button', { type: 'button', class: 'ghost', onclick: () => dialog.close('cancel') }, 'Cancel'),
        h('button', { type: 'button', class: danger ? 'danger' : '', onclick: () => dialog.close('ok') }, confirm_label)));
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'));
    open(dialog);
  });
}

// A form dialog. `fields`: [{name, label, type, value, options: [[value, text]], required,
// autocomplete, validate(value) -> reason or ''}]. Resolves with the values, or null.
export function form_dialog(title, fields, submit_label = 'OK', intro = '') {
  return new Promise((resolve) => {
    const title_id = unique_id('dialog-title');
    const inputs = {};
    const errors = {};
    const rows = fields.map((field) => {
      const id = unique_id('field');
      const error_id = `${id}-error`;
      let input;
      if (field.options) {
        input = h('select', { id, name: field.name, 'aria-describedby': error_id },
          field.options.map(([value, text]) => h('option', { value, selected: value === field.value }, text)));
      } else {
        input = h('input', {
          id, name: field.name, type: field.type || 'text', value: field.value ?? '',
          required: field.required, autocomplete: field.autocomplete || 'off', 'aria-describedby': error_id,
          accept: field.accept,
        });
      }
      inputs[field.name] = input;
      errors[field.name] = h('span', { id: error_id, class: 'error-text' });
      return h('div', { class: 'field' }, h('label', { for: id }, field.label), input, errors[field.name]);
    });
    const form = h('form', { method: 'dialog' },
      h('h2', { id: title_id }, title),
      intro ? h('p', {}, intro) : null,
      rows,
      h('div', { class: 'buttons' },
        h('button', { type: 'button', class: 'ghost', onclick: () => dialog.close('cancel') }, 'Cancel'),
        h('button', { type: 'submit', value: 'ok' }, submit_label)));
    const dialog = h('dialog', { 'aria-labelledby': title_id }, form);
    let result = null;
    form.addEventListener('submit', (event) => {
      const values = {};
      let ok = true;
      for (const field of fields) {
        const input = inputs[field.name];
        const value = input.type === 'file' ? input.files[0] : input.value;
        let reason = '';
        if (field.required && (value === undefined || value === '')) reason = 'Required.';
        else if (field.validate) reason = field.validate(value) || '';
        errors[field.name].textContent = reason;
        input.setAttribute('aria-invalid', reason ? 'true' : 'false');
        if (reason) ok = false;
        values[field.name] = value;
      }
      if (!ok) {
        event.preventDefault();
        return;
      }
      result = values;
    });
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok' ? result : null));
    open(dialog);
  });
}
