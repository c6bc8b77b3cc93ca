// The 3D view of a run: the reference surface as points, its motion as segments from each
// point at time 0 to the same point at time t, and a camera to turn, pan and zoom with mouse,
// wheel or touch. sceneflow-export puts the run's data into the page's "scene" element; nothing
// is fetched. Plain WebGL 1, so that any browser of the last decade opens it.
//
// The page's state can be set from the address: #t=1 (a time between 0 and 1, t being 1),
// #play=1, #colour=image|depth|motion, #motion=0|1 (the segments), #size=1..10 (point size),
// #yaw=30&pitch=20 (degrees the view is turned from the reference camera, about the middle depth);
// settings join with &.
'use strict';

(() => {
  // Colour scale of depth and motion length, from its low end to its high end (RGB, 0..1):
  // dark violet, blue, teal, green, yellow.
  const kRamp = [
    [0.27, 0.0, 0.33], [0.23, 0.32, 0.55], [0.13, 0.57, 0.55], [0.37, 0.79, 0.38], [0.99, 0.91, 0.14],
  ];
  const kPlaySeconds = 2.5;             // from time 0 to time t, and as long back
  const kQuantisedMax = 32767;          // positions and motion are int16 in ±32767 of their scale
  const kBackground = [0.106, 0.114, 0.129];
  const kTurnPerPixel = 0.006;          // radians
  const kMaxPitch = 1.55;               // radians, short of straight up or down
  const kMaxPointSize = 10;

  const scene = JSON.parse(document.getElementById('scene').textContent);
  const canvas = document.getElementById('view');

  // ---- Data of the page -----------------------------------------------------------------------

  function decodeBase64(text) {
    const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
    const table = new Uint8Array(128);
    for (let i = 0; i < alphabet.length; ++i) table[alphabet.charCodeAt(i)] = i;
    let length = text.length;
    while (length > 0 && text[length - 1] === '=') --length;
    const bytes = new Uint8Array((length * 3) >> 2);
    let out = 0;
    for (let i = 0; i < length; i += 4) {
      const quad = (table[text.charCodeAt(i)] << 18) | (table[text.charCodeAt(i + 1)] << 12) |
          ((i + 2 < length ? table[text.charCodeAt(i + 2)] : 0) << 6) |
          (i + 3 < length ? table[text.charCodeAt(i + 3)] : 0);
      bytes[out++] = quad >> 16;
      if (out < bytes.length) bytes[out++] = (quad >> 8) & 255;
      if (out < bytes.length) bytes[out++] = quad & 255;
    }
    return bytes;
  }

  // The page's arrays are little-endian, as every browser's typed arrays are.
  function typedArray(Type, base64) {
    const bytes = decodeBase64(base64);
    return new Type(bytes.buffer, 0, bytes.byteLength / Type.BYTES_PER_ELEMENT);
  }

  const positions = typedArray(Int16Array, scene.positions);  // x, y, z per point, quantised
  const motion = typedArray(Int16Array, scene.motion);        // U, V, W per point, quantised
  const colours = typedArray(Uint8Array, scene.colours);      // red, green, blue per point
  const segmentPoints = typedArray(Uint32Array, scene.segments);

  // Each segment as two vertices (the point at time 0 and at time t) sharing the point's data.
  function segmentVertices() {
    const count = segmentPoints.length;
    const vertices = {
      positions: new Int16Array(count * 6), motion: new Int16Array(count * 6), ends: new Uint8Array(count * 2),
    };
    for (let i = 0; i < count; ++i) {
      const point = segmentPoints[i] * 3;
      for (let end = 0; end < 2; ++end) {
        const vertex = 2 * i + end;
        vertices.positions.set(positions.subarray(point, point + 3), vertex * 3);
        vertices.motion.set(motion.subarray(point, point + 3), vertex * 3);
        vertices.ends[vertex] = end;
      }
    }
    return vertices;
  }

  // ---- Text around the view ---------------------------------------------------------------------

  function formatNumber(value) {
    if (value === 0) return '0';
    return Number(value.toPrecision(3)).toString();
  }

  function withUnit(value) {
    return scene.unitSymbol ? formatNumber(value) + ' ' + scene.unitSymbol : formatNumber(value);
  }

  function everyNth(n, noun) {
    if (n === 1) return 'every ' + noun;
    const suffix = (n % 100 >= 11 && n % 100 <= 13) ? 'th' : ({1: 'st', 2: 'nd', 3: 'rd'}[n % 10] || 'th');
    return 'every ' + n + suffix + ' ' + noun;
  }

  function writeCaption() {
    const shown = scene.points.toLocaleString('en-US');
    const grid = scene.gridWidth + '×' + scene.gridHeight;
    document.getElementById('caption').textContent =
        scene.folder + ' · image ' + scene.imageWidth + '×' + scene.imageHeight + ' · ' + scene.units + ' · ' +
        shown + ' points (' + everyNth(scene.stride, 'pixel') + ' of ' + everyNth(scene.stride, 'row') +
        ' of the ' + grid + ' results, at most ' + scene.maxPoints.toLocaleString('en-US') +
        '; as in the PLY, none at 0.95·maxZ = ' + formatNumber(scene.farLimit) + ' or beyond) · motion at ' +
        everyNth(scene.segmentStride, 'pixel') + ' of ' + everyNth(scene.segmentStride, 'row');
  }

  function fillLegend(element, title, low, high) {
    element.replaceChildren();
    const heading = document.createElement('div');
    heading.textContent = title + (scene.unitSymbol ? ' (' + scene.unitSymbol + ')' : ' (' + scene.units + ')');
    const bar = document.createElement('div');
    bar.className = 'bar';
    const stops = kRamp.map((c, i) =>
      'rgb(' + c.map((v) => Math.round(255 * v)).join(',') + ') ' + (100 * i / (kRamp.length - 1)) + '%');
    bar.style.background = 'linear-gradient(to right, ' + stops.join(', ') + ')';
    const ticks = document.createElement('div');
    ticks.className = 'ticks';
    for (const value of [low, (low + high) / 2, high]) {
      const tick = document.createElement('span');
      tick.textContent = withUnit(value);
      ticks.append(tick);
    }
    element.append(heading, bar, ticks);
  }

  // ---- Matrices (column-major, as WebGL takes them) ---------------------------------------------

  function perspective(fovY, aspect, near, far) {
    const f = 1 / Math.tan(fovY / 2);
    return new Float32Array([
      f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1, 0, 0, 2 * far * near / (near - far), 0,
    ]);
  }

  const subtract = (a, b) => [a[0] - b[0], a[1] - b[1], a[2] - b[2]];
  const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
  const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  const normalised = (a) => { const n = Math.hypot(...a); return [a[0] / n, a[1] / n, a[2] / n]; };

  // The camera's right, up and backward axes in the scene's frame.
  function cameraAxes(eye, target, up) {
    const backward = normalised(subtract(eye, target));
    const right = normalised(cross(up, backward));
    return {right, up: cross(backward, right), backward};
  }

  function lookAt(eye, axes) {
    const {right, up, backward} = axes;
    return new Float32Array([
      right[0], up[0], backward[0], 0, right[1], up[1], backward[1], 0, right[2], up[2], backward[2], 0,
      -dot(right, eye), -dot(up, eye), -dot(backward, eye), 1,
    ]);
  }

  function multiply(a, b) {
    const product = new Float32Array(16);
    for (let column = 0; column < 4; ++column) {
      for (let row = 0; row < 4; ++row) {
        let sum = 0;
        for (let k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[column * 4 + k];
        product[column * 4 + row] = sum;
      }
    }
    return product;
  }

  // ---- Camera -----------------------------------------------------------------------------------
  // The scene's frame is the reference camera's: x right, y down, z forward. The view turns about
  // a target point; at home it looks from the reference camera down its axis at the middle depth.

  const kSceneUp = [0, -1, 0];
  const middleDepth = (scene.depthRange[0] + scene.depthRange[1]) / 2 || 1;  // 1 for a run without points
  const homeCamera = () => ({target: [0, 0, middleDepth], distance: middleDepth, yaw: 0, pitch: 0});
  let camera = homeCamera();

  function eyeOf(view) {
    const c = Math.cos(view.pitch);
    return [
      view.target[0] + view.distance * c * Math.sin(view.yaw),
      view.target[1] - view.distance * Math.sin(view.pitch),
      view.target[2] - view.distance * c * Math.cos(view.yaw),
    ];
  }

  // Vertical field of view showing the whole reference image, as its camera saw it, in a canvas
  // of the given aspect ratio.
  function fieldOfViewY(aspect) {
    const [fovX, fovY] = scene.fieldOfView;
    return aspect >= Math.tan(fovX / 2) / Math.tan(fovY / 2) ? fovY : 2 * Math.atan(Math.tan(fovX / 2) / aspect);
  }

  function viewProjection(aspect) {
    const eye = eyeOf(camera);
    const axes = cameraAxes(eye, camera.target, kSceneUp);
    // Depth range from the bounding sphere of the points at both times.
    const radius = Math.hypot(...scene.halfExtent) + Math.sqrt(3) * scene.motionScale;
    const distance = Math.hypot(...subtract(eye, scene.centre));
    const far = distance + 1.1 * radius;
    const near = Math.max(far / 2000, distance - 1.1 * radius);
    return multiply(perspective(fieldOfViewY(aspect), aspect, near, far), lookAt(eye, axes));
  }

  function turn(dx, dy) {
    camera.yaw -= dx * kTurnPerPixel;
    camera.pitch = Math.min(kMaxPitch, Math.max(-kMaxPitch, camera.pitch + dy * kTurnPerPixel));
  }

  // Moves the target so that the scene follows the pointer.
  function pan(dx, dy) {
    const axes = cameraAxes(eyeOf(camera), camera.target, kSceneUp);
    const height = canvas.clientHeight || 1;
    const unitsPerPixel = 2 * camera.distance * Math.tan(fieldOfViewY(canvas.clientWidth / height) / 2) / height;
    for (let i = 0; i < 3; ++i) {
      camera.target[i] += (-axes.right[i] * dx + axes.up[i] * dy) * unitsPerPixel;
    }
  }

  function zoom(factor) {
    camera.distance = Math.min(1e3 * middleDepth, Math.max(1e-3 * middleDepth, camera.distance * factor));
  }

  // ---- WebGL ------------------------------------------------------------------------------------

  const kSharedVertexSource = `
    uniform mat4 viewProjection;
    uniform vec3 centre;
    uniform vec3 halfExtent;
    uniform float motionScale;
    uniform float motionTop;
    uniform vec3 ramp[5];
    uniform float pointSize;
    attribute vec3 position;
    attribute vec3 motion;
    varying vec3 shade;
    vec3 SurfacePoint() { return centre + halfExtent * (position / ${kQuantisedMax}.0); }
    vec3 Motion() { return motionScale * (motion / ${kQuantisedMax}.0); }
    vec3 Ramp(float s) {
      float x = clamp(s, 0.0, 1.0) * 4.0;
      vec3 colour = ramp[0];
      for (int i = 0; i < 4; ++i) {
        if (x > float(i)) colour = mix(ramp[i], ramp[i + 1], min(x - float(i), 1.0));
      }
      return colour;
    }
  `;

  const kPointVertexSource = kSharedVertexSource + `
    attribute vec3 colour;
    uniform float time;        // 0 at time 0, 1 at time t
    uniform int colourBy;      // 0 image, 1 depth, 2 motion length
    uniform vec2 depthRange;
    void main() {
      vec3 p = SurfacePoint() + time * Motion();
      gl_Position = viewProjection * vec4(p, 1.0);
      gl_PointSize = pointSize;
      if (colourBy == 1) {
        shade = Ramp((p.z - depthRange.x) / (depthRange.y - depthRange.x));
      } else if (colourBy == 2) {
        shade = Ramp(length(Motion()) / motionTop);
      } else {
        shade = colour;
      }
    }
  `;

  // A segment runs from the point at time 0 (darker) to the point at time t; drawn as points,
  // only its ends at time t are kept, as heads.
  const kSegmentVertexSource = kSharedVertexSource + `
    attribute float end;       // 0 at time 0, 1 at time t
    uniform float headsOnly;
    void main() {
      vec3 m = Motion();
      gl_Position = viewProjection * vec4(SurfacePoint() + end * m, 1.0);
      if (headsOnly > 0.5 && end < 0.5) gl_Position = vec4(2.0, 2.0, 2.0, 1.0);
      gl_PointSize = pointSize;
      shade = Ramp(length(m) / motionTop) * mix(0.45, 1.0, end);
    }
  `;

  const kFragmentSource = `
    precision mediump float;
    varying vec3 shade;
    void main() { gl_FragColor = vec4(shade, 1.0); }
  `;

  // Both programs read position, motion and a third attribute from the same slots.
  const kAttributeSlots = {position: 0, motion: 1, colour: 2, end: 2};

  function compile(gl, type, source) {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS) && !gl.isContextLost()) {
      throw new Error('shader: ' + gl.getShaderInfoLog(shader));
    }
    return shader;
  }

  function createProgram(gl, vertexSource) {
    const program = gl.createProgram();
    gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, vertexSource));
    gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, kFragmentSource));
    for (const [name, slot] of Object.entries(kAttributeSlots)) gl.bindAttribLocation(program, slot, name);
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS) && !gl.isContextLost()) {
      throw new Error('program: ' + gl.getProgramInfoLog(program));
    }
    const uniforms = {};
    const count = gl.getProgramParameter(program, gl.ACTIVE_UNIFORMS);
    for (let i = 0; i < count; ++i) {
      const name = gl.getActiveUniform(program, i).name.replace(/\[0\]$/, '');
      uniforms[name] = gl.getUniformLocation(program, name);
    }
    return {program, uniforms};
  }

  function upload(gl, data) {
    const buffer = gl.createBuffer();
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ARRAY_BUFFER, data, gl.STATIC_DRAW);
    return buffer;
  }

  // Binds [buffer, components, type, normalised] to the attribute slots 0, 1, 2.
  function bindAttributes(gl, attributes) {
    attributes.forEach(([buffer, components, type, normalise], slot) => {
      gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
      gl.enableVertexAttribArray(slot);
      gl.vertexAttribPointer(slot, components, type, normalise, 0, 0);
    });
  }

  // ---- The view's state and its drawing ------------------------------------------------------

  const state = {time: 0, playing: false, playStart: 0, colourBy: 'image', segments: true, pointSize: 2};
  const kColourModes = {image: 0, depth: 1, motion: 2};

  function setUpGraphics() {
    const gl = canvas.getContext('webgl', {antialias: false, preserveDrawingBuffer: false});
    if (!gl) return null;
    const segments = segmentVertices();
    return {
      gl,
      points: createProgram(gl, kPointVertexSource),
      segments: createProgram(gl, kSegmentVertexSource),
      pointBuffers: [upload(gl, positions), upload(gl, motion), upload(gl, colours)],
      segmentBuffers: [upload(gl, segments.positions), upload(gl, segments.motion), upload(gl, segments.ends)],
      segmentVertexCount: segmentPoints.length * 2,
    };
  }

  function setSharedUniforms(gl, uniforms, matrix, pointSize) {
    gl.uniformMatrix4fv(uniforms.viewProjection, false, matrix);
    gl.uniform3fv(uniforms.centre, scene.centre);
    gl.uniform3fv(uniforms.halfExtent, scene.halfExtent);
    gl.uniform1f(uniforms.motionScale, scene.motionScale);
    gl.uniform1f(uniforms.motionTop, scene.motionLengthTop > 0 ? scene.motionLengthTop : 1);
    gl.uniform3fv(uniforms.ramp, kRamp.flat());
    gl.uniform1f(uniforms.pointSize, pointSize);
  }

  function resizeCanvas() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
  }

  function draw(graphics) {
    const gl = graphics.gl;
    resizeCanvas();
    gl.viewport(0, 0, canvas.width, canvas.height);
    gl.clearColor(...kBackground, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    const matrix = viewProjection(canvas.width / canvas.height);
    const ratio = window.devicePixelRatio || 1;

    gl.enable(gl.DEPTH_TEST);
    const points = graphics.points;
    gl.useProgram(points.program);
    setSharedUniforms(gl, points.uniforms, matrix, state.pointSize * ratio);
    gl.uniform1f(points.uniforms.time, state.time);
    gl.uniform1i(points.uniforms.colourBy, kColourModes[state.colourBy]);
    const [low, high] = scene.depthRange;
    gl.uniform2f(points.uniforms.depthRange, low, high > low ? high : low + 1);
    const [positionBuffer, motionBuffer, colourBuffer] = graphics.pointBuffers;
    bindAttributes(gl, [[positionBuffer, 3, gl.SHORT, false], [motionBuffer, 3, gl.SHORT, false],
      [colourBuffer, 3, gl.UNSIGNED_BYTE, true]]);
    gl.drawArrays(gl.POINTS, 0, scene.points);

    if (!state.segments || graphics.segmentVertexCount === 0) return;
    // The motion stays visible in front of the surface it starts from.
    gl.disable(gl.DEPTH_TEST);
    const segments = graphics.segments;
    gl.useProgram(segments.program);
    setSharedUniforms(gl, segments.uniforms, matrix, (state.pointSize + 1) * ratio);
    const [segmentPositions, segmentMotion, ends] = graphics.segmentBuffers;
    bindAttributes(gl, [[segmentPositions, 3, gl.SHORT, false], [segmentMotion, 3, gl.SHORT, false],
      [ends, 1, gl.UNSIGNED_BYTE, false]]);
    gl.uniform1f(segments.uniforms.headsOnly, 0);
    gl.drawArrays(gl.LINES, 0, graphics.segmentVertexCount);
    gl.uniform1f(segments.uniforms.headsOnly, 1);
    gl.drawArrays(gl.POINTS, 0, graphics.segmentVertexCount);
  }

  // ---- Controls ---------------------------------------------------------------------------------

  const controls = {
    reset: document.getElementById('reset'),
    time0: document.getElementById('time-0'),
    timeT: document.getElementById('time-t'),
    time: document.getElementById('time'),
    play: document.getElementById('play'),
    colour: document.getElementById('colour'),
    segments: document.getElementById('arrows'),
    pointSize: document.getElementById('point-size'),
    depthLegend: document.getElementById('depth-legend'),
    motionLegend: document.getElementById('motion-legend'),
  };

  let graphics = null;
  let frameRequested = false;

  function requestDraw() {
    if (frameRequested || !graphics) return;
    frameRequested = true;
    requestAnimationFrame((now) => {
      frameRequested = false;
      if (state.playing) {
        const phase = ((now - state.playStart) / 1000 / kPlaySeconds) * Math.PI;
        state.time = 0.5 - 0.5 * Math.cos(phase);
        requestDraw();
      }
      showState();
      draw(graphics);
    });
  }

  // Makes the controls show the state.
  function showState() {
    controls.time.value = state.time.toFixed(2);
    controls.time0.setAttribute('aria-pressed', String(!state.playing && state.time === 0));
    controls.timeT.setAttribute('aria-pressed', String(!state.playing && state.time === 1));
    controls.play.setAttribute('aria-pressed', String(state.playing));
    controls.play.textContent = state.playing ? 'Pause' : 'Play';
    controls.colour.value = state.colourBy;
    controls.segments.checked = state.segments;
    controls.pointSize.value = String(state.pointSize);
    controls.depthLegend.hidden = state.colourBy !== 'depth';
    controls.motionLegend.hidden = !state.segments && state.colourBy !== 'motion';
  }

  function setTime(time) {
    state.playing = false;
    state.time = Math.min(1, Math.max(0, time));
    requestDraw();
  }

  // Plays on from the current time, which the cosine of the playback reaches at this phase.
  function play() {
    const phase = Math.acos(1 - 2 * state.time) / Math.PI;
    state.playStart = performance.now() - phase * kPlaySeconds * 1000;
    state.playing = true;
    requestDraw();
  }

  function applyAddress() {
    const settings = new URLSearchParams(location.hash.slice(1));
    if (settings.has('t') && Number.isFinite(Number(settings.get('t')))) setTime(Number(settings.get('t')));
    if (settings.get('play') === '1') play();
    if (settings.get('colour') in kColourModes) state.colourBy = settings.get('colour');
    if (settings.has('motion')) state.segments = settings.get('motion') !== '0';
    const size = Number(settings.get('size'));
    if (Number.isInteger(size) && size >= 1 && size <= kMaxPointSize) state.pointSize = size;
    const degrees = (key) => (settings.has(key) && Number.isFinite(Number(settings.get(key))) ?
      Number(settings.get(key)) * Math.PI / 180 : null);
    if (degrees('yaw') !== null) camera.yaw = degrees('yaw');
    if (degrees('pitch') !== null) camera.pitch = Math.min(kMaxPitch, Math.max(-kMaxPitch, degrees('pitch')));
    requestDraw();
  }

  // A point size that closes the gaps between neighbouring points in the home view.
  function fittingPointSize() {
    const width = canvas.clientWidth || 1;
    const height = canvas.clientHeight || 1;
    const imageHeightOnScreen = Math.min(height, width * scene.imageHeight / scene.imageWidth);
    const spacing = imageHeightOnScreen / (scene.gridHeight / scene.stride);
    return Math.min(kMaxPointSize, Math.max(2, Math.ceil(spacing)));
  }

  function bindControls() {
    controls.reset.addEventListener('click', () => { camera = homeCamera(); requestDraw(); });
    controls.time0.addEventListener('click', () => setTime(0));
    controls.timeT.addEventListener('click', () => setTime(1));
    controls.time.addEventListener('input', () => setTime(Number(controls.time.value)));
    controls.play.addEventListener('click', () => {
      if (state.playing) {
        state.playing = false;
        requestDraw();
      } else {
        play();
      }
    });
    controls.colour.addEventListener('change', () => { state.colourBy = controls.colour.value; requestDraw(); });
    controls.segments.addEventListener('change', () => { state.segments = controls.segments.checked; requestDraw(); });
    controls.pointSize.addEventListener('input', () => { state.pointSize = Number(controls.pointSize.value); requestDraw(); });
    window.addEventListener('hashchange', applyAddress);
    window.addEventListener('resize', requestDraw);
    window.addEventListener('keydown', (event) => {
      const typing = event.target instanceof HTMLInputElement || event.target instanceof HTMLSelectElement;
      if (typing || event.ctrlKey || event.metaKey || event.altKey) return;
      if (event.key === 'r' || event.key === 'R') {
        camera = homeCamera();
        requestDraw();
      }
    });
  }

  // One pointer turns the view (pans with the right button or Shift); two pinch to zoom and pan.
  function bindPointer() {
    const pointers = new Map();
    canvas.addEventListener('contextmenu', (event) => event.preventDefault());
    canvas.addEventListener('pointerdown', (event) => {
      canvas.setPointerCapture(event.pointerId);
      pointers.set(event.pointerId, {x: event.clientX, y: event.clientY, pans: event.button === 2 || event.shiftKey});
    });
    canvas.addEventListener('pointermove', (event) => {
      const pointer = pointers.get(event.pointerId);
      if (!pointer) return;
      const dx = event.clientX - pointer.x;
      const dy = event.clientY - pointer.y;
      if (pointers.size === 1) {
        if (pointer.pans || event.shiftKey) pan(dx, dy); else turn(dx, dy);
      } else if (pointers.size === 2) {
        const other = [...pointers.entries()].find(([id]) => id !== event.pointerId)[1];
        const before = Math.hypot(pointer.x - other.x, pointer.y - other.y);
        const after = Math.hypot(event.clientX - other.x, event.clientY - other.y);
        if (before > 0 && after > 0) zoom(before / after);
        pan(dx / 2, dy / 2);
      }
      pointer.x = event.clientX;
      pointer.y = event.clientY;
      requestDraw();
    });
    const release = (event) => pointers.delete(event.pointerId);
    canvas.addEventListener('pointerup', release);
    canvas.addEventListener('pointercancel', release);
    canvas.addEventListener('wheel', (event) => {
      event.preventDefault();
      const step = event.deltaMode === 1 ? 0.05 : event.deltaMode === 2 ? 1 : 0.002;
      zoom(Math.exp(event.deltaY * step));
      requestDraw();
    }, {passive: false});
  }

  function start() {
    writeCaption();
    fillLegend(controls.motionLegend, 'motion length', 0, scene.motionLengthTop);
    fillLegend(controls.depthLegend, 'depth', scene.depthRange[0], scene.depthRange[1]);
    state.pointSize = fittingPointSize();
    graphics = setUpGraphics();
    if (!graphics) {
      const message = document.getElementById('message');
      message.textContent = 'This view needs WebGL, which this browser does not offer.';
      message.hidden = false;
      return;
    }
    canvas.addEventListener('webglcontextlost', (event) => event.preventDefault());
    canvas.addEventListener('webglcontextrestored', () => { graphics = setUpGraphics(); requestDraw(); });
    bindControls();
    bindPointer();
    applyAddress();
    requestDraw();
  }

  start();
})();
