// A broker of MQTT 3.1.1 only, for the fleet's fallback test: aedes on
// 127.0.0.1 at the port given, printing "ready" once it listens.
const aedes = require('aedes')();
const server = require('net').createServer(aedes.handle);
server.listen(Number(process.argv[2]), '127.0.0.1', () => console.log('ready'));
process.on('SIGTERM', () => server.close(() => aedes.close(() => process.exit(0))));
