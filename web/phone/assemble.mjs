// Assembles the servable phone page into one folder: index.html with the style sheet and the
// page's modules inlined, beside the `mqtt` package's browser build and its licence.
//
// Inlined because the page is also served by mosquitto's WebSockets listener (http_dir), which
// sends no Content-Type: a browser refuses module scripts and, in standards mode, style sheets
// without one, but runs inline ones and classic scripts.
//
//   node assemble.mjs OUTPUT_FOLDER

import { copyFileSync, existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const output = process.argv[2];
if (!output) {
  console.error('usage: node assemble.mjs OUTPUT_FOLDER');
  process.exit(2);
}
const bundle = join(here, 'node_modules', 'mqtt', 'dist', 'mqtt.min.js');
if (!existsSync(bundle)) {
  console.error(`phone page: ${join(here, 'node_modules')} is missing: run 'npm ci' in ${here} (or bash scripts/install-deps.sh)`);
  process.exit(1);
}

// The modules in dependency order; their imports of each other become one shared scope.
const modules = ['records.js', 'texts.js', 'app.js'];
const source = (name) => readFileSync(join(here, 'src', name), 'utf8');
const script = modules.map((name) => `// ${name}\n` + source(name)
  .replace(/^import\s[^;]*?\sfrom\s+'\.\/[\w.]+';\n/gms, '')
  .replace(/^export\s+/gm, '')).join('\n');
if (/^\s*(import|export)\s/m.test(script) || script.includes('</script'))
  throw new Error('phone page: a module statement was left in the inlined script');

let html = source('index.html');
const inline = (pattern, replacement) => {
  if (!pattern.test(html))
    throw new Error(`phone page: index.html lacks ${pattern}`);
  html = html.replace(pattern, () => replacement);
};
inline(/<link rel="stylesheet" href="style.css">/, `<style>\n${source('style.css')}</style>`);
inline(/<script type="module" src="app.js"><\/script>/, `<script type="module">\n${script}</script>`);

mkdirSync(output, { recursive: true });
writeFileSync(join(output, 'index.html'), html);
copyFileSync(bundle, join(output, 'mqtt.min.js'));
copyFileSync(join(here, 'node_modules', 'mqtt', 'LICENSE.md'), join(output, 'mqtt-LICENSE.md'));
