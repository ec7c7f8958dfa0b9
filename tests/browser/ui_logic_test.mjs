// The interface's pure logic without a browser: value checks of the settings forms, the
// difference report, the chart's frequency axis, status ranking, request failure reasons,
// and the project file names and import files the backend would refuse.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { check_value, display_value } from '../../html/js/params.js';
import { parse_report } from '../../html/js/views/sync.js';
import { point_frequency, parse_values } from '../../html/js/chart.js';
import { worst_status, power_text, sync_text } from '../../html/js/format.js';
import { failure_reason } from '../../html/js/requests.js';
import { check_file_name, project_file_name, check_tesira_file } from '../../html/js/views/project.js';

test('settings are refused with a reason when out of range or not numbers', () => {
  assert.equal(check_value('gain', '30', 'tesira'), '');
  assert.equal(check_value('gain', '51', 'tesira'), 'Between -1.10 and 50.00 dB.');
  assert.equal(check_value('gain', '54', 'mira'), '');
  assert.equal(check_value('sensitivity', '511', 'tesira'), '');
  assert.equal(check_value('sensitivity', '12.5', 'tesira'), 'Enter a whole number.');
  assert.equal(check_value('attenuation', '-6.25', 'tesira'), '');
  assert.equal(check_value('attenuation', '3', 'tesira'), 'Between -100.00 and 0.00 dB.');
  assert.equal(check_value('flexi_desired_vpl', '12', 'mira'), 'Between 17.8 and 1000.0 V.');
  assert.equal(check_value('flexi_desired_vpl', '1e2', 'mira'), '');
  for (const bad of ['', 'abc', '1,5', '0x10', '--1']) assert.notEqual(check_value('fuse_current_limit', bad, 'mira'), '', bad);
  assert.equal(check_value('flexi_protected', '1', 'mira'), '');
  assert.equal(check_value('flexi_protected', '2', 'mira'), 'Choose one of the values offered.');
  assert.equal(check_value('name', '  ', 'mira'), 'A name cannot be empty.');
  assert.equal(check_value('name', 'Hall\u0007', 'mira'), 'Control characters are not allowed.');
  assert.equal(check_value('name', 'Foyer <left> & "right"', 'mira'), '');
});

test('stored values are shown rounded to their precision', () => {
  assert.equal(display_value('gain', '32.000000'), '32');
  assert.equal(display_value('attenuation', '-6.254999'), '-6.25');
  assert.equal(display_value('sensitivity', '288'), '288');
  assert.equal(display_value('gain', 'n/a'), 'n/a');
  assert.equal(display_value('gain', undefined), '');
});

test('the difference report is read entry by entry; anything else gives no entries', () => {
  const report = '[["dev","0","attenuation","-6","-6.25","Stage","Stage","Out","Out"] ,["dev","frame","fuse_type","1","2","Amp","Amp","Amp","Amp"] ]';
  const entries = parse_report(report);
  assert.equal(entries.length, 2);
  assert.deepEqual(entries[1].slice(1, 5), ['frame', 'fuse_type', '1', '2']);
  assert.deepEqual(parse_report(''), []);
  assert.deepEqual(parse_report('not json'), []);
  assert.deepEqual(parse_report('[["short"]]'), []);
});

test('the sweep points lie on a logarithmic axis from 20 Hz to 20 kHz', () => {
  assert.equal(point_frequency(0), 20);
  assert.ok(Math.abs(point_frequency(147) - 20000) < 1e-6);
  assert.ok(Math.abs(point_frequency(147 / 3) - 200) < 1e-6);
  assert.deepEqual(parse_values(' 1.500000 2.000000\n3 x '), [1.5, 2, 3]);
});

test('a frame shows its worst state, power and synchronisation', () => {
  assert.equal(worst_status({ mon_frame_status: '0', mon_chs_amp_status: '1', mon_chs_load_status: '2', mon_chs_signal_status: '3' }), '2');
  assert.equal(worst_status({ mon_frame_status: '0', mon_chs_amp_status: '3' }), '3');
  assert.equal(worst_status({}), '');
  assert.equal(power_text({ device_id: 'a', power_status: '0' }), 'Standby');
  assert.equal(power_text({ device_id: 'a', power_status: '1' }), 'On');
  assert.equal(power_text({ power_status: '1' }), '—');
  assert.equal(sync_text({ device_id: 'a', synced: 'false' }), 'Out of sync');
  assert.equal(sync_text({ synced: 'true' }), '');
});

test('a failed request is explained by its reason or its result code', () => {
  assert.equal(failure_reason({ method: 'set_mute', error: 'missing attribute "mute"' }), 'missing attribute "mute"');
  assert.equal(failure_reason({ method: 'export_config', export_result: '2' }), 'A project file of that name exists already.');
  assert.equal(failure_reason({ method: 'login', login_result: '3' }), 'The server refused the user name or password.');
  assert.match(failure_reason({ method: 'put_diffs' }), /amplifier/);
});

test('project file names the backend would refuse are refused in the form', () => {
  for (const good of ['Main hall', 'hall.xml', 'Saal Süd', 'a.b.c', 'x'.repeat(251)]) assert.equal(check_file_name(good), '', good);
  for (const hidden of ['.', '..', '.hall', '.hall.xml', '..xml']) assert.equal(check_file_name(hidden), 'A file name cannot start with a dot.', hidden);
  for (const bad of ['a/b', 'a\\b', 'tab\there', 'bell\u0007', 'del\u007f']) {
    assert.equal(check_file_name(bad), 'A file name without slashes or control characters.', JSON.stringify(bad));
  }
  assert.equal(check_file_name(''), 'A file name is needed.');
  // 255 bytes as saved, with ".xml" and counted in UTF-8.
  assert.notEqual(check_file_name('x'.repeat(252)), '');
  assert.equal(check_file_name('ü'.repeat(125)), '');
  assert.notEqual(check_file_name('ü'.repeat(126)), '');
  assert.equal(project_file_name('hall'), 'hall.xml');
  assert.equal(project_file_name('hall.XML'), 'hall.XML');
});

test('a Tesira file over the import limit is refused before it is read', () => {
  assert.equal(check_tesira_file({ size: 16 * 1024 * 1024 }), '');
  assert.match(check_tesira_file({ size: 16 * 1024 * 1024 + 1 }), /larger than 16 MiB/);
  assert.equal(check_tesira_file(undefined), 'Choose a file.');
  assert.equal(failure_reason({ method: 'import_tesira', error: 'Tesira import failed: no Tesira.Blocks' }), 'Tesira import failed: no Tesira.Blocks');
  assert.match(failure_reason({ method: 'import_tesira' }), /not a Tesira configuration file/);
});
